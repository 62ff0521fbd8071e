#pragma once

// Internal failure that is not reported in words: an unsupported element
// size, a failed write or seek of a byte output, a ratio out of range, ...
// It deliberately does not derive from std::exception, so a job that ends
// with it shows "failed".
struct Wobbly {};
