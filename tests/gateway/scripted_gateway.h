#pragma once
// A stand-in node gateway for tests: it accepts one connection, reads the
// miner's request lines and answers each from a script, recording every line
// it read so that the test can check them.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/config.h"

enum class GatewayTransport { uds, tcp };

struct GatewayStep {
  std::optional<std::string> reply;  // sent with a newline; none: stay silent
  bool close_after_request = false;  // hang up instead of answering
  bool stop_reading = false;         // never read again (the peer's sends back up)
};

class ScriptedGateway {
 public:
  explicit ScriptedGateway(GatewayTransport transport);
  ~ScriptedGateway();
  ScriptedGateway(const ScriptedGateway&) = delete;
  ScriptedGateway& operator=(const ScriptedGateway&) = delete;

  // The miner's settings that reach this gateway.
  Config config() const;
  void play(std::vector<GatewayStep> steps);
  // The lines read so far, newline included when one arrived.
  std::vector<std::string> received() const;
  const std::string& socket_path() const { return socket_path_; }

 private:
  void serve(std::vector<GatewayStep> steps);
  std::string read_line(int fd);

  GatewayTransport transport_;
  std::string directory_;
  std::string socket_path_;
  int listen_fd_ = -1;
  int32_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
  std::thread thread_;
};

// A fresh temporary directory, removed by the caller.
std::string make_temporary_directory();
