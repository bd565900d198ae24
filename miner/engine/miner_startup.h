#pragma once
// The two halves of run_miner, for callers that inspect the state in between.
#include "engine/miner_state.h"

// Selects the device and runs every start-up step up to the mining loop:
// identity, backend, refusals, streams, tensor-hash settings, the workspace
// and the offline job. Returns false when a mode finished during start-up.
bool start_up_miner(MinerState& state, int worker_index, int worker_count);

// The loop the run's settings choose, and that loop's own end.
void run_mining_loop(MinerState& state);
