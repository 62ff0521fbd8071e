#pragma once

// A short demo input made from nothing, for a first run without files.

#include <string>

// Writes four seconds of 44100 Hz stereo int16 to `file` (a 440 Hz tone on
// the left, a logarithmic sweep from 20 Hz to 20 kHz on the right, both at
// -6 dBFS), creating its folder. Written under a temporary name and renamed
// when complete, like every output: a failure leaves no partial file.
void WriteDemoFile(const std::string& file);
