#pragma once
// Sanity of a candidate the mining kernel reported, before anything opens it.
#include <cstdint>
#include <string>

struct HostSignalHeader;
struct OpenedRowsCols;

// Empty when every opened pair lies inside the m x n product and the pair
// count fits the header's arrays; otherwise why the candidate is unusable.
std::string candidate_refusal(const HostSignalHeader& header, int32_t m, int32_t n);

// Logs "found_candidate" and fills `opened`; an unusable candidate is dropped
// with a WARN line instead (false).
bool announce_candidate(const HostSignalHeader& header, int32_t m, int32_t n,
                        const std::string& job_id, OpenedRowsCols& opened);

// A candidate of a run that proves nothing: the "found_candidate" line and the
// skip line, or a WARN drop line for an unusable one. Returns whether it was usable.
bool log_dry_run_candidate(const HostSignalHeader& header, int32_t m, int32_t n,
                           const std::string& job_id);
