#pragma once
// The log line of work dropped because a newer job arrived.
#include <cstdint>
#include <string>

#include "core/mining_job.h"

// "dropped reason=obsolete_job stage=<stage> job=<id> generation=<g> active_generation=<a>"
std::string obsolete_drop_message(const std::string& stage, const MiningJob& job,
                                  uint64_t active_generation);

// Logs that line at DEBUG on component "share".
void log_obsolete_drop(const std::string& stage, const MiningJob& job, uint64_t active_generation);
