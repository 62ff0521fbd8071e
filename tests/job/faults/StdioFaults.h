#pragma once

// Fault injection into the C library's file calls of this test executable.
// StdioFaults.cpp defines fopen, fdopen, fwrite, fflush, fseeko, ftello, fread and
// fclose in the executable itself, so the libraries linked into it call
// these, which pass on to the C library unless a fault is armed. Files
// opened for writing are "outputs", files opened for reading "inputs".
//
// Not thread-safe against arming while files are in use: arm, run one job,
// disarm.

#include <cstdint>
#include <functional>
#include <string>

namespace StdioFaults {

enum class Call { OutputWrite, OutputSeek, OutputClose, InputRead };

struct Counts {
    std::uint64_t outputWrites = 0;  // fwrite and fflush on outputs
    std::uint64_t outputSeeks = 0;   // fseeko and ftello on outputs
    std::uint64_t outputCloses = 0;  // fclose of outputs
    std::uint64_t inputReads = 0;    // fread on inputs
};

// Counts from now on, without faults.
void Reset();
Counts Current();

// The `n`-th call (from 1) of kind `call` fails with `error`, and so does
// every later call of that kind on outputs (a full disk stays full).
void FailAt(Call call, std::uint64_t n, int error);

// Before the `n`-th read of an input, `action` runs with the input's path
// (for example to truncate or remove it).
void BeforeRead(std::uint64_t n, std::function<void(const std::string& path)> action);

// Number of faults injected since the process started.
std::uint64_t Injected();

}  // namespace StdioFaults
