#pragma once
#include <stdexcept>

// Failures that callers treat differently from a plain runtime error.
// Bad command-line usage: the entry point prints the usage and exits with 2.
struct CliUsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A broken pool connection: the pool client reconnects.
struct StratumConnectionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An error answer from the pool: the share is dropped, the connection kept.
struct StratumResponseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
