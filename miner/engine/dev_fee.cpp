#include "engine/dev_fee.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <random>

#include "core/codecs.h"
#include "core/log.h"
#include "core/log_value.h"
#include "core/pool_password.h"
#include "engine/miner_state.h"
#include "pool/pool_handshake.h"

namespace {

constexpr char kDevFeeAddress[] =
    "vex1pqad78s4ndjs24yn3nqnxfwacee63yj5wz9690ulrlrg79e5h9els2kz69p";
constexpr double kWindowPeriodSeconds = 1000.0;
constexpr double kWindowOpeningSeconds = 990.0;
// A fee login the pool refuses or that cannot connect must not hold up the
// user's mining for more than a few back-off steps.
constexpr int kFeeLoginTries = 3;

std::atomic<int64_t> window_clock_offset_ns{0};

int64_t window_now_ns() { return steady_now_ns() + window_clock_offset_ns.load(); }

std::mt19937& dev_fee_generator() {
  thread_local std::mt19937 generator = [] {
    std::random_device device("default");
    const auto wall = std::chrono::system_clock::now().time_since_epoch();
    const auto wall_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count();
    std::seed_seq seeds{device(), device(), static_cast<uint32_t>(wall_ns)};
    return std::mt19937(seeds);
  }();
  return generator;
}

}  // namespace

std::string make_dev_fee_login() {
  std::uniform_int_distribution<int> number(1, 10000);
  return std::string(kDevFeeAddress) + "." + std::to_string(number(dev_fee_generator()));
}

bool dev_fee_window_open(double elapsed_seconds) {
  const double phase = std::fmod(std::max(elapsed_seconds, 0.0), kWindowPeriodSeconds);
  return phase >= kWindowOpeningSeconds;
}

uint32_t dev_fee_difficulty(double measured_tmac_s) {
  if (measured_tmac_s >= 100.0) return 524288;
  if (measured_tmac_s >= 50.0) return 262144;
  return 131072;  // a rate that is not a number lands here too
}

void set_dev_fee_clock_offset_ns(int64_t offset_ns) { window_clock_offset_ns.store(offset_ns); }

bool dev_fee_tick(MinerState& state) {
  if (!state.pool) return false;
  const double elapsed = static_cast<double>(window_now_ns() - state.start_ns) / 1e9;
  const bool open = dev_fee_window_open(elapsed);
  if (!open) state.dev_fee_given_up = false;  // the next window tries again
  if (open == state.dev_fee_active || (open && state.dev_fee_given_up)) return false;
  // Everything queued before the switch goes out under the old login.
  if (state.submitter) state.submitter->wait_until_idle();
  const double seconds = static_cast<double>(window_now_ns() - state.start_ns) / 1e9;
  const double rate = state.total_work / std::max(1e-9, seconds) / 1e12;
  const uint32_t difficulty = dev_fee_difficulty(rate);
  const std::string login = open ? state.dev_fee_login : state.user_login;
  const std::string password = open ? difficulty_password(difficulty) : state.config.password;
  bool given_up = false;
  std::string failure;
  {
    PoolConnection& conn = *state.pool;
    std::lock_guard<std::mutex> lock(conn.mutex);
    if (conn.login != login || conn.password != password) {
      conn.login = login;
      conn.password = password;
      if (!open) {
        connect_and_handshake(conn);
      } else if (!connect_and_handshake_bounded(conn, kFeeLoginTries, failure)) {
        given_up = true;
        conn.login = state.user_login;
        conn.password = state.config.password;
        connect_and_handshake(conn);
      }
    }
  }
  state.job_active = false;
  state.attempts_on_job = 0;
  if (given_up) {
    state.dev_fee_given_up = true;
    log_line(LogLevel::Warn, "pool",
             "dev_fee aborted error=" + log_quoted(failure) +
                 " action=restore_user_login worker=" + log_quoted(state.user_login));
    return true;
  }
  state.dev_fee_active = open;
  std::string line = std::string("dev_fee ") + (open ? "started" : "ended") + " worker=" + log_quoted(login);
  if (open) {
    line += " fixed_diff=" + std::to_string(difficulty) + " measured_tmac_s=" + format_fixed2(rate);
  }
  log_info("pool", line);
  return true;
}
