#include "engine/dev_fee.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <random>

#include "core/codecs.h"
#include "core/log.h"
#include "core/pool_password.h"
#include "engine/miner_state.h"
#include "pool/pool_handshake.h"

namespace {

constexpr char kDevFeeAddress[] =
    "vex1pqad78s4ndjs24yn3nqnxfwacee63yj5wz9690ulrlrg79e5h9els2kz69p";
constexpr double kWindowPeriodSeconds = 1000.0;
constexpr double kWindowOpeningSeconds = 990.0;

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

bool dev_fee_tick(MinerState& state) {
  if (!state.pool) return false;
  const double elapsed = static_cast<double>(steady_now_ns() - state.start_ns) / 1e9;
  const bool open = dev_fee_window_open(elapsed);
  if (open == state.dev_fee_active) return false;
  // Everything queued before the switch goes out under the old login.
  if (state.submitter) state.submitter->wait_until_idle();
  const double seconds = static_cast<double>(steady_now_ns() - state.start_ns) / 1e9;
  const double rate = state.total_work / std::max(1e-9, seconds) / 1e12;
  const uint32_t difficulty = dev_fee_difficulty(rate);
  const std::string login = open ? state.dev_fee_login : state.user_login;
  const std::string password = open ? difficulty_password(difficulty) : state.config.password;
  {
    PoolConnection& conn = *state.pool;
    std::lock_guard<std::mutex> lock(conn.mutex);
    if (conn.login != login || conn.password != password) {
      conn.login = login;
      conn.password = password;
      connect_and_handshake(conn);
    }
  }
  state.dev_fee_active = open;
  state.job_active = false;
  state.attempts_on_job = 0;
  std::string line = std::string("dev_fee ") + (open ? "started" : "ended") + " worker=\"" + login +
                     "\"";
  if (open) {
    line += " fixed_diff=" + std::to_string(difficulty) + " measured_tmac_s=" + format_fixed2(rate);
  }
  log_info("pool", line);
  return true;
}
