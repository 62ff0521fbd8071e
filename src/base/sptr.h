#pragma once

#include <memory>

// Exclusive owner of a non-stream object (file writers, windows, the
// scale-and-dither step). Moving transfers ownership; it is never copied.
template <class T>
using sptr = std::unique_ptr<T>;
