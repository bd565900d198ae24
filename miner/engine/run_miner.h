#pragma once

struct Config;

// Mines on one device with its own Config copy; returns 0 when mining ends
// normally and 1 after logging the failure that ended it.
int run_miner(Config config, int device, int worker_index, int worker_count);
