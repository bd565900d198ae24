#pragma once
struct MinerState;

// One attempt at a time until max_attempts (never, without it).
void run_serial_loop(MinerState& state);
