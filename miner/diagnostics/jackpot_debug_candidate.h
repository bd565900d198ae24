#pragma once
// A candidate of a --debug-dump run: logged, replayed by the jackpot oracle
// and skipped, as a dry run skips every candidate.
#include <string>

struct MinerState;

void handle_jackpot_debug_candidate(MinerState& state, const std::string& job_id);
