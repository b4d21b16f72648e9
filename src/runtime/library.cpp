// The C++ library support this program needs, built here for the 486 rather
// than linked from the toolchain's libstdc++.a, which is built for the
// Pentium Pro. Allocation goes to msvcrt.dll's malloc and free.
//
// The program is built without exceptions. A failed allocation, or a
// library check that would throw (every one of which comes down to a size
// too large to allocate), ends the process at once: silently, with exit
// code 0, as every failure of this program is silent. The clean-up steps
// already done stay done; no file is left half-written, because a file is
// only ever replaced whole by a rename (see the wide-text patcher).
#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

// Every std::string member the program uses is instantiated here, so none
// is taken from libstdc++.a.
template class std::basic_string<char>;

const std::nothrow_t std::nothrow{};

[[noreturn]] static void CannotGoOn() {
    ExitProcess(0);
}

void *operator new(std::size_t size) {
    void *block = std::malloc(size ? size : 1);
    if (!block) CannotGoOn();
    return block;
}
void *operator new[](std::size_t size) {
    return operator new(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return std::malloc(size ? size : 1);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return std::malloc(size ? size : 1);
}
void operator delete(void *block) noexcept {
    std::free(block);
}
void operator delete[](void *block) noexcept {
    std::free(block);
}
void operator delete(void *block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void *block, std::size_t) noexcept {
    std::free(block);
}

namespace std {
void __throw_bad_alloc() {
    CannotGoOn();
}
void __throw_bad_array_new_length() {
    CannotGoOn();
}
void __throw_length_error(const char *) {
    CannotGoOn();
}
void __throw_logic_error(const char *) {
    CannotGoOn();
}
void __throw_out_of_range(const char *) {
    CannotGoOn();
}
void __throw_out_of_range_fmt(const char *, ...) {
    CannotGoOn();
}
} // namespace std
