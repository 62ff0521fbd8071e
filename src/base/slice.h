#pragma once

#include <cstddef>

// A half-open range [begin, end) of T. Does not own what it points to.
template <class T>
struct slice {
    T* begin = nullptr;
    T* end = nullptr;

    slice() = default;
    slice(T* b, T* e) : begin(b), end(e) {}
    slice(T* p, std::size_t n) : begin(p), end(p + n) {}

    std::size_t length() const { return static_cast<std::size_t>(end - begin); }
    bool empty() const { return begin == end; }
};
