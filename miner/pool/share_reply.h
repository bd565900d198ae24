#pragma once
#include <string>

// What a mining.submit reply (or submit_share's synthesized one) means.
enum class ShareOutcome { Accepted, Rejected, Dropped };

struct ShareVerdict {
  ShareOutcome outcome = ShareOutcome::Rejected;
  std::string reason;  // empty when accepted
};

// A share is accepted only when the reply has no error and its result is true.
// A synthesized reply marked dropped gives its reason; an error reply or any
// other result ("result":false, null, missing) is a rejection.
ShareVerdict judge_share_reply(const std::string& reply);

// Logs the verdict on component "share" ("submitted job=...", "dropped reason=...",
// or "submission_error response=...") and returns true only for an accepted
// share, the one case that counts as share work.
bool report_share_reply(const std::string& reply, const std::string& job_id);
