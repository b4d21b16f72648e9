// A map from a name to an element that holds the name itself, kept in one
// array in the registry's order of names (case folded): a key's values each
// held once, with no node and no second copy of the name apiece, which a
// registry of a million values would otherwise spend most of its memory on.
// It reads as a std::map would: iterators give (name, element) pairs.
#pragma once

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace sim {

int CompareNoCase(std::string_view a, std::string_view b);

// `T` has a std::string `name`, its key: an element assigned through
// operator[] or an iterator must keep the name it was found by, in any case.
template <class T> class NameMap {
    template <bool Const> class Iter {
        using Base = std::conditional_t<Const, typename std::vector<T>::const_iterator,
                                        typename std::vector<T>::iterator>;

      public:
        using value_type = std::pair<const std::string &, std::conditional_t<Const, const T, T> &>;
        using reference = value_type;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;
        struct pointer {
            value_type pair;
            const value_type *operator->() const { return &pair; }
        };

        Iter() = default;
        explicit Iter(Base at) : at_(at) {}
        template <bool C = Const, class = std::enable_if_t<C>>
        Iter(const Iter<false> &other) : at_(other.at_) {}

        reference operator*() const { return {at_->name, *at_}; }
        pointer operator->() const { return {**this}; }
        Iter &operator++() {
            ++at_;
            return *this;
        }
        Iter operator++(int) {
            Iter was = *this;
            ++at_;
            return was;
        }
        friend bool operator==(const Iter &a, const Iter &b) { return a.at_ == b.at_; }
        friend bool operator!=(const Iter &a, const Iter &b) { return a.at_ != b.at_; }

      private:
        Base at_{};
        friend class NameMap;
        friend class Iter<true>;
    };

  public:
    using iterator = Iter<false>;
    using const_iterator = Iter<true>;

    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    void clear() { items_.clear(); }
    void shrink_to_fit() { items_.shrink_to_fit(); }
    iterator begin() { return iterator(items_.begin()); }
    iterator end() { return iterator(items_.end()); }
    const_iterator begin() const { return const_iterator(items_.begin()); }
    const_iterator end() const { return const_iterator(items_.end()); }

    iterator find(std::string_view name) {
        auto at = Place(name);
        return iterator(Holds(at, name) ? at : items_.end());
    }
    const_iterator find(std::string_view name) const {
        return const_iterator(const_cast<NameMap *>(this)->find(name).at_);
    }
    size_t count(std::string_view name) const { return find(name) != end(); }
    const T &at(std::string_view name) const {
        auto it = find(name);
        if (it == end()) throw std::out_of_range("no such name");
        return it->second;
    }
    T &at(std::string_view name) { return const_cast<T &>(std::as_const(*this).at(name)); }

    // The element of that name, made (with only its name) if there is none.
    T &operator[](std::string_view name) {
        auto at = Place(name);
        if (Holds(at, name)) return *at;
        T made{};
        made.name = std::string(name);
        return *items_.insert(at, std::move(made));
    }

    size_t erase(std::string_view name) {
        auto at = Place(name);
        if (!Holds(at, name)) return 0;
        items_.erase(at);
        return 1;
    }
    iterator erase(const_iterator it) { return iterator(items_.erase(it.at_)); }

  private:
    typename std::vector<T>::iterator Place(std::string_view name) {
        // Files list a key's values in their own order, often in ours: look at the end first.
        if (items_.empty() || CompareNoCase(items_.back().name, name) < 0) return items_.end();
        return std::lower_bound(
            items_.begin(), items_.end(), name,
            [](const T &item, std::string_view n) { return CompareNoCase(item.name, n) < 0; });
    }
    bool Holds(typename std::vector<T>::iterator at, std::string_view name) const {
        return at != items_.end() && CompareNoCase(at->name, name) == 0;
    }

    std::vector<T> items_;
};

} // namespace sim
