#pragma once

#include <string>
#include <vector>

// Runs tessival-cli with its arguments (without the program name); returns
// the exit status: 0 all done, 1 any failure, 2 bad usage.
int RunCli(const std::vector<std::string>& args);
