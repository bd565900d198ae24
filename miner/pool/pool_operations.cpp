#include "pool/pool_operations.h"

#include <mutex>
#include <stdexcept>

#include "core/errors.h"
#include "core/log.h"
#include "core/log_value.h"
#include "pool/json_text.h"
#include "pool/line_transport.h"
#include "pool/pool_connection.h"
#include "pool/pool_handshake.h"
#include "pool/pool_rpc.h"

namespace {

constexpr int64_t kJobWaitNs = 30LL * 1000 * 1000 * 1000;

void route_waiting_lines(PoolConnection& conn) {
  conn.phase = "poll";
  if (!conn.deferred_line_error.empty()) {
    const std::string error = std::move(conn.deferred_line_error);
    conn.deferred_line_error.clear();
    throw std::runtime_error(error);
  }
  while (wait_readable(conn, 0)) dispatch_notification(conn, recv_line(conn, 5000));
  conn.phase = "idle";
}

// A broken connection, a line the client cannot take and a failed challenge
// answer all end the same way: a fresh connection with a job.
void reconnect_after_poll_failure(PoolConnection& conn, const std::exception& failure) {
  log_line(LogLevel::Warn, "pool",
           "connection_lost phase=poll error=" + log_quoted(failure.what()) + " action=reconnect");
  connect_and_handshake(conn);
}

struct AwaitingShareReply {
  explicit AwaitingShareReply(PoolConnection& c) : conn(c) { conn.share_reply_awaited = true; }
  ~AwaitingShareReply() { conn.share_reply_awaited = false; }
  PoolConnection& conn;
};

std::string dropped_reply(const std::string& id, const char* reason) {
  return "{\"id\":" + id + ",\"result\":null,\"error\":null,\"dropped\":true,\"reason\":\"" +
         reason + "\"}";
}

}  // namespace

bool poll_connection(PoolConnection& conn, MiningJob& out) {
  std::unique_lock<std::mutex> lock(conn.mutex, std::try_to_lock);
  if (!lock.owns_lock()) return false;
  try {
    route_waiting_lines(conn);
  } catch (const std::exception& e) {
    reconnect_after_poll_failure(conn, e);
  }
  if (conn.has_job) out = conn.job;
  return conn.has_job;
}

MiningJob wait_for_job(PoolConnection& conn) {
  std::lock_guard<std::mutex> lock(conn.mutex);
  for (;;) {
    bool deadline_passed = false;
    try {
      route_waiting_lines(conn);
      if (conn.has_job) return conn.job;
      const int64_t deadline = conn.clock.now_ns() + kJobWaitNs;
      conn.phase = "wait_job";
      while (!conn.has_job) {
        if (conn.clock.now_ns() >= deadline) {
          deadline_passed = true;
          break;
        }
        dispatch_notification(conn, recv_line(conn, 30000));
      }
      if (!deadline_passed) return conn.job;
    } catch (const std::exception& e) {
      reconnect_after_poll_failure(conn, e);
      continue;
    }
    throw std::runtime_error("timed out waiting for Stratum job");
  }
}

ShareSubmission submit_share_if_current(PoolConnection& conn, const std::string& proof_b64,
                                        const MiningJob& job) {
  std::lock_guard<std::mutex> lock(conn.mutex);
  ShareSubmission submission;
  // A replacement job already waiting on the socket, or read meanwhile by the
  // other thread, makes the share obsolete before it goes out.
  try {
    route_waiting_lines(conn);
  } catch (const std::exception& e) {
    reconnect_after_poll_failure(conn, e);
  }
  if (conn.has_job && conn.job.generation > job.generation) {
    submission.current_job = conn.job;
    return submission;
  }
  conn.phase = "submit." + job.job_id;
  const int32_t id = take_request_id(conn);
  const std::string request = "{\"id\":" + std::to_string(id) +
                              ",\"method\":\"mining.submit\",\"params\":[\"" + json_escape(conn.login) +
                              "\",\"" + json_escape(job.job_id) + "\",\"" + json_escape(proof_b64) + "\"]}\n";
  submission.sent = true;
  try {
    AwaitingShareReply awaiting(conn);
    send_all(conn, request.data(), request.size());
    submission.reply = wait_response(conn, id, 60000);
  } catch (const StratumResponseError& e) {
    log_line(LogLevel::Warn, "pool",
             "submit_error job=" + log_value(job.job_id) + " error=" + log_quoted(e.what()) +
                 " action=drop_share_keep_conn");
    submission.reply = dropped_reply(std::to_string(id), "rejected");
  } catch (const std::exception& e) {
    log_line(LogLevel::Warn, "pool",
             "connection_lost phase=submit job=" + log_value(job.job_id) + " error=" + log_quoted(e.what()) +
                 " action=reconnect_drop_ambiguous_share");
    connect_and_handshake(conn);
    submission.reply = dropped_reply(std::to_string(id), "stratum_reconnect");
  }
  return submission;
}

std::string submit_share(PoolConnection& conn, const std::string& proof_b64, const MiningJob& job) {
  ShareSubmission submission = submit_share_if_current(conn, proof_b64, job);
  if (!submission.sent) return dropped_reply("null", "obsolete_job");
  return std::move(submission.reply);
}
