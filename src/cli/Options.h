#pragma once

// Command-line options of tessival-cli, parsed with the same field rules
// as the desktop program's settings.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "job/Batch.h"
#include "job/Request.h"

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CliOptions {
    std::vector<std::string> inputs;
    ConversionRequest request;  // the output folder is set from outputDir
    unsigned jobs = 0;          // 0 = the pool's default
    std::optional<std::string> outputDir;
    bool info = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    std::string makeDemo;  // write a demo input file there and exit
    bool json = false;     // one JSON line per file on stdout, nothing else there
    std::optional<std::string> filesFrom;  // more input names from this file ("-": stdin)
    bool nulSeparated = false;             // ... separated by NUL bytes, not newlines
    std::optional<Shard> shard;            // take only this task's share of the inputs
};

// Throws UsageError with a message for unknown options, missing or
// unparsable values.
CliOptions ParseOptions(const std::vector<std::string>& args);

extern const char* const kUsage;
