#pragma once
struct MinerState;

// Two workspaces on the constant offline job: the next attempt is prepared
// while the current one mines. Candidates are logged and skipped.
void run_offline_pipeline(MinerState& state);
