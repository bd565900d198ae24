#pragma once
#include <string>

#include "core/config.h"

// Builds the run's Config from defaults, HEADLESS_MINER_* variables and the
// arguments (argv[0] skipped), left to right. "help", "-h", "--help" and
// "--version" print to standard output and exit with status 0 where they stand.
// Throws CliUsageError for bad usage, std::runtime_error for an unknown argument
// or a missing value, and the std::stoi/stoll errors for numbers that don't convert.
Config parse_cli_config(int argc, char** argv);

// The argument after `index`, advancing `index`; throws "missing value for <option>".
std::string next_arg_value(int& index, int argc, char** argv, const std::string& option);
