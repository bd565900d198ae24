#pragma once
#include <functional>

struct Config;

// The mining engine's entry for one device: works on its own Config copy and
// returns 0, or 1 after logging the failure that ended it; never throws.
using RunMinerFn = std::function<int(Config config, int device, int worker_index, int worker_count)>;

// The mining branch: completes the device list, validates the per-device
// passwords, configures the primary contexts and runs run_miner on the main
// thread (one device) or on one thread per device. Returns the exit status.
int launch_mining(Config& config, const RunMinerFn& run_miner);

// The whole program: parses the command line, runs one mode and turns its
// outcome into the exit status (0, 1, or 2 for a usage error).
int korvath_main(int argc, char** argv, const RunMinerFn& run_miner);
