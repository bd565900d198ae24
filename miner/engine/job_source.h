#pragma once
// Where each attempt's job comes from, and how a newer pool job is noticed.
#include <string>

#include "core/mining_job.h"

struct MinerState;

// The next attempt's job: the cached pool job (polled for a newer one once it
// has served its refresh count; waited for when none is cached), the offline
// job, or a fresh getMiningInfo from the gateway.
MiningJob refresh_job(MinerState& state);

// After an attempt in pool mode: polls once the cached job has served its
// refresh count. A job of another generation becomes the cached job, the
// submitter is told, and a "job_update ... action=<action>" line is logged;
// returns true then.
bool poll_job_update(MinerState& state, const char* action);

// The DEBUG line of a candidate whose job was replaced during its attempt.
void log_obsolete_candidate(const MiningJob& job, uint64_t active_generation);
