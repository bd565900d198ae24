#pragma once
struct MinerState;

// Prepares one attempt once, then times the mining launch alone on it.
void run_headless_benchmark(MinerState& state);
