#include "pool/pool_handshake.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "core/errors.h"
#include "core/log.h"
#include "core/log_value.h"
#include "core/usage.h"
#include "pool/json_text.h"
#include "pool/line_transport.h"
#include "pool/pool_challenge.h"
#include "pool/pool_connection.h"
#include "pool/pool_notifications.h"
#include "pool/pool_rpc.h"

namespace {

constexpr int64_t kFirstBackoffMs = 250;
constexpr int64_t kMaxBackoffMs = 4000;
constexpr int64_t kJobDeadlineNs = 30LL * 1000 * 1000 * 1000;

std::string endpoint_text(const Endpoint& endpoint) {
  return endpoint.host + ":" + std::to_string(endpoint.port);
}

void reset_connection_state(PoolConnection& conn) {
  conn.phase = "disconnected";
  conn.has_job = false;
  conn.has_mining_params = false;
  conn.has_share_nbits_override = false;
  conn.has_challenge = false;
  conn.share_nbits_override.clear();
  conn.challenge_seed.clear();
  conn.challenge_difficulty = 0;
  conn.rows_pattern.clear();
  conn.cols_pattern.clear();
  conn.pending_responses.clear();
  conn.deferred_line_error.clear();
}

int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The pool answered mining.authorize with an error or a false result.
struct LoginRefused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// `strict_login`: an authorize reply that is not a plain success refuses the
// login instead of being ignored.
void try_handshake(PoolConnection& conn, bool strict_login) {
  reset_connection_state(conn);
  const Endpoint& endpoint = conn.endpoints.at(conn.failover_index);
  conn.fd = tcp_connect(endpoint.host, static_cast<uint16_t>(endpoint.port), "stratum pool");
  conn.connect_time = steady_now_ns();
  conn.phase = "tcp_connected";
  std::string connected = "connected host=" + log_value(endpoint.host) + " port=" + std::to_string(endpoint.port);
  if (conn.failover_index != 0) connected += " failover_index=" + std::to_string(conn.failover_index);
  log_info("pool", connected);

  conn.phase = "handshake.initial_challenge";
  if (wait_readable(conn, 10000)) {
    dispatch_notification(conn, recv_line(conn, 5000));
    if (conn.has_challenge) solve_and_answer_challenge(conn);
  }

  conn.phase = "handshake.configure";
  const std::string configured = rpc_call(conn, "mining.configure", "[[\"vexal/v1\"],{}]");
  if (configured.find("\"vexal/v1\":true") == std::string::npos) {
    throw std::runtime_error("Stratum pool did not accept vexal/v1: " + configured);
  }
  conn.phase = "handshake.subscribe";
  rpc_call(conn, "mining.subscribe", std::string("[\"korvath/") + kKorvathVersion + "\"]");
  conn.phase = "handshake.authorize";
  const std::string authorize =
      "[\"" + json_escape(conn.login) + "\",\"" + json_escape(conn.password) + "\"]";
  if (!strict_login) {
    rpc_call(conn, "mining.authorize", authorize);
  } else {
    std::string reply;
    try {
      reply = rpc_call(conn, "mining.authorize", authorize);
    } catch (const StratumResponseError& e) {
      throw LoginRefused(std::string("pool refused the login: ") + e.what());
    }
    if (reply.find("\"result\":false") != std::string::npos) {
      throw LoginRefused("pool refused the login: " + reply);
    }
  }

  const int64_t deadline = conn.clock.now_ns() + kJobDeadlineNs;
  conn.phase = "handshake.wait_job";
  while (!(conn.has_mining_params && conn.has_job)) {
    if (conn.clock.now_ns() >= deadline) break;
    if (!wait_readable(conn, 30000)) {
      throw StratumConnectionError(
          describe_stratum_connection(conn, "timed out waiting for Stratum job", 0, 30000));
    }
    dispatch_notification(conn, recv_line(conn, 5000));
  }
  if (!conn.has_mining_params) throw std::runtime_error("timed out waiting for vexal.set_mining_params");
  if (!conn.has_job) throw std::runtime_error("timed out waiting for mining.notify");
  check_pool_shape(conn);

  conn.phase = "idle";
  conn.consecutive_failures = 0;
}

// Tries until success, or until `max_tries` tries failed (0: no limit) or the
// login was refused under `strict_login`; returns the last failure then.
bool retry_handshake(PoolConnection& conn, int max_tries, bool strict_login, std::string& failure) {
  conn.close_socket();
  int64_t backoff_ms = kFirstBackoffMs;
  for (int tries = 1;; ++tries) {
    bool refused = false;
    try {
      try_handshake(conn, strict_login);
      return true;
    } catch (const LoginRefused& e) {
      failure = e.what();
      refused = true;
    } catch (const std::exception& e) {
      failure = e.what();
    }
    conn.close_socket();
    reset_connection_state(conn);
    ++conn.consecutive_failures;
    if (refused || (max_tries > 0 && tries >= max_tries)) return false;
    const Endpoint tried = conn.endpoints.at(conn.failover_index);
    log_line(LogLevel::Warn, "pool",
             "reconnect_failed error=" + log_quoted(failure) + " retry_ms=" + std::to_string(backoff_ms) +
                 " failures=" + std::to_string(conn.consecutive_failures) + " endpoint=" + log_value(endpoint_text(tried)));
    if (conn.endpoints.size() > 1 && conn.consecutive_failures >= 2) {
      conn.consecutive_failures = 0;
      conn.failover_index = (conn.failover_index + 1) % conn.endpoints.size();
      log_line(LogLevel::Warn, "pool",
               "failover_switch from=" + log_value(endpoint_text(tried)) + " to=" +
                   log_value(endpoint_text(conn.endpoints[conn.failover_index])) +
                   " index=" + std::to_string(conn.failover_index));
    }
    conn.clock.sleep_ms(backoff_ms);
    backoff_ms = std::min(backoff_ms * 2, kMaxBackoffMs);
  }
}

}  // namespace

void connect_and_handshake(PoolConnection& conn) {
  std::string failure;
  retry_handshake(conn, 0, false, failure);
}

bool connect_and_handshake_bounded(PoolConnection& conn, int max_tries, std::string& failure) {
  return retry_handshake(conn, max_tries, true, failure);
}
