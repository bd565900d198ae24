#include "pool/pool_connection.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "pool/pool_handshake.h"
#include "proof/challenge_solver.h"

PoolClock PoolClock::steady() {
  PoolClock clock;
  clock.now_ns = [] {
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count());
  };
  clock.sleep_ms = [](int64_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  };
  return clock;
}

PoolConnection::PoolConnection(const Config& device_config)
    : config(device_config),
      login(device_config.login),
      password(device_config.password) {
  // The search is bounded on the connection's own clock, read when it runs.
  solve_challenge = [this](const uint8_t* seed, uint32_t difficulty) {
    return solve_blake3_challenge_gpu(seed, difficulty, ChallengeSearchLimit{clock.now_ns, kChallengeSearchLimitNs});
  };
  endpoints.push_back(Endpoint{device_config.pool, device_config.stratum_port});
  for (const Endpoint& failover : device_config.failover_pools) endpoints.push_back(failover);
}

PoolConnection::~PoolConnection() { close_socket(); }

void PoolConnection::close_socket() {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

std::unique_ptr<PoolConnection> open_pool_connection(const Config& device_config) {
  auto conn = std::make_unique<PoolConnection>(device_config);
  connect_and_handshake(*conn);
  return conn;
}
