#pragma once

#include <stdexcept>

// Internal failure that is not reported in words: an unsupported element
// size, a failed write or seek of a byte output, a ratio out of range, ...
// It deliberately does not derive from std::exception, so a job that ends
// with it shows "failed".
struct Wobbly {};

// The same failure where a user can meet it, with a sentence saying what
// went wrong: the job still shows "failed", followed by this reason.
struct WobblyBecause : std::runtime_error, Wobbly {
    using std::runtime_error::runtime_error;
};
