#include "pool/share_reply.h"

#include <cctype>

#include "core/log.h"
#include "core/log_value.h"
#include "pool/json_fields.h"
#include "pool/pool_rpc.h"

namespace {

// Whether the first "result" member's value is the literal true.
bool result_is_true(const std::string& reply) {
  const size_t key = reply.find("\"result\"");
  if (key == std::string::npos) return false;
  const size_t colon = reply.find(':', key + 8);
  if (colon == std::string::npos) return false;
  size_t pos = colon + 1;
  while (pos < reply.size() && std::isspace(static_cast<unsigned char>(reply[pos]))) ++pos;
  if (reply.compare(pos, 4, "true") != 0) return false;
  const size_t after = pos + 4;
  return after == reply.size() || !std::isalnum(static_cast<unsigned char>(reply[after]));
}

}  // namespace

ShareVerdict judge_share_reply(const std::string& reply) {
  if (reply_has_error(reply)) return {ShareOutcome::Rejected, "rejected"};
  if (reply.find("\"dropped\":true") != std::string::npos) {
    std::string reason = "stratum_reconnect";
    try {
      reason = json_string_field(reply, "reason");
    } catch (const std::exception&) {
    }
    return {ShareOutcome::Dropped, reason};
  }
  if (result_is_true(reply)) return {ShareOutcome::Accepted, ""};
  return {ShareOutcome::Rejected, "rejected"};
}

bool report_share_reply(const std::string& reply, const std::string& job_id) {
  const ShareVerdict verdict = judge_share_reply(reply);
  switch (verdict.outcome) {
    case ShareOutcome::Accepted:
      log_info("share", "submitted job=" + log_value(job_id));
      return true;
    case ShareOutcome::Dropped:
      // A share the pool refused names its job; one lost with the connection
      // is the fixed line, whatever reason the reply claims.
      if (verdict.reason == "rejected") {
        log_line(LogLevel::Warn, "share", "dropped reason=rejected job=" + log_value(job_id));
      } else {
        log_line(LogLevel::Warn, "share", "dropped reason=stratum_reconnect");
      }
      return false;
    case ShareOutcome::Rejected:
      if (reply_has_error(reply)) {
        log_line(LogLevel::Error, "share", "submission_error response=" + log_value(reply));
      } else {
        log_line(LogLevel::Warn, "share", "dropped reason=rejected job=" + log_value(job_id) + " response=" + log_value(reply));
      }
      return false;
  }
  return false;
}
