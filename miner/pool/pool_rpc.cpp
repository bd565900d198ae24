#include "pool/pool_rpc.h"

#include "core/errors.h"
#include "core/log.h"
#include "pool/line_kind.h"
#include "pool/line_transport.h"
#include "pool/pool_challenge.h"
#include "pool/pool_connection.h"
#include "pool/pool_notifications.h"

namespace {

// Whether some request sent on this connection can carry the id: ids are
// handed out from 1 upwards, so anything from next_request_id on, and 0, is
// no reply of ours.
bool could_be_ours(const PoolConnection& conn, uint64_t id) {
  return id != 0 && id < static_cast<uint64_t>(conn.next_request_id);
}

// A share's fate is its own reply's: a bad notification read meanwhile is
// kept for the next poll instead of ending the share's wait. A failed
// challenge answer still ends it.
void route_during_wait(PoolConnection& conn, const std::string& line) {
  try {
    dispatch_notification(conn, line);
  } catch (const ChallengeAnswerError&) {
    throw;
  } catch (const std::exception& e) {
    if (!conn.share_reply_awaited) throw;
    if (conn.deferred_line_error.empty()) {
      conn.deferred_line_error = *e.what() != '\0' ? e.what() : "malformed notification";
    }
  }
}

}  // namespace

bool reply_has_error(const std::string& line) {
  return line.find("\"error\":null") == std::string::npos && line.find("\"error\"") != std::string::npos;
}

int32_t take_request_id(PoolConnection& conn) { return conn.next_request_id++; }

std::string rpc_call(PoolConnection& conn, const std::string& method, const std::string& params) {
  const int32_t id = take_request_id(conn);
  const std::string request =
      "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params + "}\n";
  conn.phase = "rpc." + method;
  send_all(conn, request.data(), request.size());
  return wait_response(conn, id, 30000);
}

std::string wait_response(PoolConnection& conn, int32_t id, uint32_t timeout_ms) {
  const std::string outer_phase = conn.phase;
  conn.phase = outer_phase + ".wait_response";
  std::string line;
  for (;;) {
    const auto parked = conn.pending_responses.find(static_cast<uint64_t>(id));
    if (parked != conn.pending_responses.end()) {
      line = std::move(parked->second);
      conn.pending_responses.erase(parked);
      break;
    }
    line = recv_line(conn, timeout_ms);
    const LineKind kind = classify_line(line);
    if (kind.notification) {
      route_during_wait(conn, line);
      // A nested challenge answer restores its own phase; keep ours for errors.
      conn.phase = outer_phase + ".wait_response";
      continue;
    }
    if (!kind.has_reply_id || !could_be_ours(conn, kind.reply_id)) {
      log_line(LogLevel::Debug, "pool",
               "reply_ignored id=" + (kind.has_reply_id ? std::to_string(kind.reply_id) : std::string("none")) +
                   " awaited=" + std::to_string(id) + " reason=unknown_id");
      continue;
    }
    const uint64_t line_id = kind.reply_id;
    if (line_id == static_cast<uint64_t>(id)) break;
    if (conn.pending_responses.size() >= kMaxParkedReplies &&
        conn.pending_responses.count(line_id) == 0) {
      throw StratumConnectionError(describe_stratum_connection(
          conn, "too many parked Stratum replies limit=" + std::to_string(kMaxParkedReplies), 0,
          timeout_ms));
    }
    conn.pending_responses[line_id] = std::move(line);
  }
  if (reply_has_error(line)) throw StratumResponseError("Stratum error response: " + line);
  conn.phase = outer_phase;
  return line;
}

void dispatch_notification(PoolConnection& conn, const std::string& line) {
  // A reply, or anything else without a method of its own, is no notification
  // whatever it carries inside.
  if (!classify_line(line).notification) return;
  if (line.find("\"method\":\"vexal.set_mining_params\"") != std::string::npos) {
    handle_set_mining_params(conn, line);
  } else if (line.find("\"method\":\"mining.notify\"") != std::string::npos) {
    handle_mining_notify(conn, line);
  } else if (line.find("\"method\":\"mining.set_difficulty\"") != std::string::npos) {
    handle_set_difficulty(conn, line);
  } else if (line.find("\"method\":\"vexal.challenge\"") != std::string::npos) {
    handle_challenge(conn, line);
    solve_and_answer_challenge(conn);
  }
}
