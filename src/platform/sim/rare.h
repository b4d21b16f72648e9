// A member that nearly every object leaves empty, held behind a pointer so
// that the empty one costs a pointer: an NT name or text that the ANSI view
// says in full (see RegValue) costs a million values 8 bytes each, not 56.
// It reads as a `const T &` and is set by assigning a T.
#pragma once

#include <memory>
#include <utility>

namespace sim {

template <class T> class Rare {
  public:
    Rare() = default;
    explicit Rare(T value) { *this = std::move(value); }
    Rare(const Rare &other) : held_(other.held_ ? std::make_unique<T>(*other.held_) : nullptr) {}
    Rare(Rare &&) noexcept = default;
    Rare &operator=(const Rare &other) { return *this = other.get(); }
    Rare &operator=(Rare &&) noexcept = default;
    Rare &operator=(T value) {
        held_ = value.empty() ? nullptr : std::make_unique<T>(std::move(value));
        return *this;
    }

    const T &get() const {
        static const T none{};
        return held_ ? *held_ : none;
    }
    operator const T &() const { return get(); }
    bool empty() const { return !held_; }
    auto size() const { return get().size(); }
    auto begin() const { return get().begin(); }
    auto end() const { return get().end(); }

    friend bool operator==(const Rare &a, const Rare &b) { return a.get() == b.get(); }
    friend bool operator!=(const Rare &a, const Rare &b) { return a.get() != b.get(); }
    friend bool operator==(const Rare &a, const T &b) { return a.get() == b; }
    friend bool operator!=(const Rare &a, const T &b) { return a.get() != b; }

  private:
    std::unique_ptr<T> held_;
};

} // namespace sim
