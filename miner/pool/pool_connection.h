#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/mining_job.h"
#include "core/pool_endpoints.h"

// The clock and sleep a connection uses for its back-off and its job
// deadlines; tests replace them to run long waits in no time.
struct PoolClock {
  std::function<int64_t()> now_ns;         // steady-clock nanoseconds
  std::function<void(int64_t)> sleep_ms;   // whole sleep, resumed when interrupted
  static PoolClock steady();
};

// Answers a BLAKE3 challenge: 32 seed bytes and a difficulty in bits to a
// nonce. A search that gives up raises ChallengeSearchAbandoned.
using ChallengeSolver = std::function<uint64_t(const uint8_t* seed, uint32_t difficulty)>;

// Parked replies beyond this many mean a confused or hostile peer: the
// connection is treated as broken.
inline constexpr size_t kMaxParkedReplies = 256;

// One device's connection to a Stratum pool. Every use after construction
// happens under `mutex`.
struct PoolConnection {
  int32_t fd = -1;
  int32_t next_request_id = 1;
  Config config;
  std::vector<Endpoint> endpoints;   // the pool first, then the failover pools
  uint64_t failover_index = 0;
  int32_t consecutive_failures = 0;
  int64_t connect_time = 0;          // steady-clock ns of the last connect, 0 = never
  std::string phase = "disconnected";
  std::string login;
  std::string password;
  bool has_job = false;
  bool has_mining_params = false;
  int32_t m = 0;
  int32_t n = 0;
  int32_t k = 0;
  int32_t rank = 0;
  std::vector<int32_t> rows_pattern;
  std::vector<int32_t> cols_pattern;
  std::map<uint64_t, std::string> pending_responses;  // by reply id
  bool has_share_nbits_override = false;
  std::string share_nbits_override;
  bool has_challenge = false;
  std::string challenge_seed;
  uint32_t challenge_difficulty = 0;
  // Set while a challenge answer runs: a challenge read meanwhile is only
  // stored, and that answer's loop answers it once its own reply is in.
  bool answering_challenge = false;
  uint64_t challenges_stored = 0;    // counts every stored challenge
  // While a share's reply is awaited, a notification line that cannot be
  // taken is kept here instead of ending the wait; the next poll or job wait
  // raises it.
  bool share_reply_awaited = false;
  std::string deferred_line_error;
  uint64_t job_generation = 0;
  MiningJob job;
  std::mutex mutex;

  PoolClock clock = PoolClock::steady();
  ChallengeSolver solve_challenge;   // the GPU solver, bounded on `clock`, unless replaced

  // Fills the record from the device's Config (login and password already the
  // device's) and lists the endpoints; does not connect.
  explicit PoolConnection(const Config& device_config);
  ~PoolConnection();
  PoolConnection(const PoolConnection&) = delete;
  PoolConnection& operator=(const PoolConnection&) = delete;

  void close_socket();
};

// Builds the connection and blocks until the pool has sent mining parameters
// and a first job (retrying without end).
std::unique_ptr<PoolConnection> open_pool_connection(const Config& device_config);
