#pragma once
#include <string>
#include <utility>
#include <vector>

// The outcome of one run of the korvath binary.
struct BinaryRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the binary with the arguments, in an environment of the parent's
// variables minus every HEADLESS_MINER_*, HOSTGPU_* and NO_COLOR, plus `env`.
BinaryRun run_korvath(const std::vector<std::string>& args,
                      const std::vector<std::pair<std::string, std::string>>& env = {});
