#pragma once
// A scripted Stratum pool for tests: a thread with a listening socket on
// 127.0.0.1 that sends exactly the lines a test gives it and checks every
// line the miner sends. Every wait is bounded.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "pool/pool_connection.h"

// One accepted connection, as the pool sees it.
class PeerLink {
 public:
  explicit PeerLink(int fd) : fd_(fd) {}
  ~PeerLink();
  PeerLink(const PeerLink&) = delete;
  PeerLink& operator=(const PeerLink&) = delete;

  void send_line(const std::string& line) { send_raw(line + "\n"); }
  void send_raw(const std::string& bytes);
  // The next line from the miner; throws std::runtime_error on time-out or close.
  std::string read_line(int timeout_ms = 5000);
  // The whole lines the miner has sent so far, without waiting for more.
  std::vector<std::string> read_available();
  // The next line if one arrives within the time: false on a time-out or
  // when the miner has closed the connection (`closed` tells which).
  bool try_read_line(std::string& line, int timeout_ms, bool& closed);
  // Reads the next line and checks it is exactly `expected`.
  void expect_line(const std::string& expected, int timeout_ms = 5000);
  // Whether the miner closes the connection within the time (no data expected).
  bool closed_by_miner(int timeout_ms = 5000);
  void close();

 private:
  int fd_;
  std::string buffer_;
};

class ScriptedPool {
 public:
  using Script = std::function<void(ScriptedPool&)>;
  ScriptedPool();
  ~ScriptedPool();  // joins the script
  uint16_t port() const { return port_; }
  // Runs the script on the pool's thread; a throw there fails the test.
  void run(Script script);
  void join();
  std::unique_ptr<PeerLink> accept(int timeout_ms = 5000);

 private:
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// The pool side of a complete handshake. Request ids are checked against
// `next_id`, which is advanced past the three requests.
struct HandshakeScript {
  std::string login = "vex1miner.rig0";
  std::string password = "x";
  std::string params_line;            // default: mining_params_line() of the test shape
  std::vector<std::string> job_lines; // default: one notify_line("job-1", "1d00ffff", true)
};
void serve_handshake(PeerLink& link, int32_t& next_id, const HandshakeScript& script = {});

std::string notify_line(const std::string& job_id_json, const std::string& nbits, bool clean,
                        const std::string& header_hex = "00112233");

// The default handshake, whose one job has the given id (its JSON text).
inline HandshakeScript offering(const std::string& job_id_json) {
  HandshakeScript script;
  script.job_lines = {notify_line(job_id_json, "1d00ffff", true)};
  return script;
}

// One handshaken session that `body` scripts (nothing when empty), ended by
// the miner's close.
void serve_session(ScriptedPool& p, const std::function<void(PeerLink&, int32_t& next_id)>& body = {});

// A handshaken session that `first` scripts; when `first` returns true the
// miner is expected back, and its reconnection is handshaken (ids go on from
// `next_id` as `first` left it) and then closed by the miner.
void serve_session_then_reconnect(ScriptedPool& p, const std::function<bool(PeerLink&, int32_t& next_id)>& first);

// A harmless first line: the miner routes it at once instead of waiting 10 s
// for a challenge that never comes.
inline const char kGreeting[] = "{\"id\":null,\"method\":\"client.show_message\",\"params\":[\"hello\"]}";

std::string mining_params_line(int m = 256, int n = 256, int k = 4096, int rank = 128,
                               const std::string& rows = "[0,32]", const std::string& cols = "");
std::string ok_reply(int32_t id, const std::string& result = "true");

// The Config of a device mining 256 x 256 (rank 128) against the scripted pools.
Config pool_test_config(uint16_t port, const std::vector<uint16_t>& failover_ports = {});

// Replaces a connection's clock: time moves only when the connection sleeps or
// the test advances it; every sleep is recorded.
struct FakeClock {
  std::atomic<int64_t> now_ns{1'000'000'000};
  std::atomic<int64_t> advance_per_read_ns{0};  // added each time the connection reads the clock
  std::mutex mutex;
  std::vector<int64_t> sleeps_ms;
  size_t max_sleeps = 12;
  void install(PoolConnection& conn);
  std::vector<int64_t> sleeps();
};

// The BLAKE3 challenge rule, on the CPU: hash(seed || nonce LE64) starts with
// `difficulty` zero bits.
bool challenge_answer_ok(const uint8_t seed[32], uint64_t nonce, uint32_t difficulty);
uint64_t cpu_challenge_solver(const uint8_t* seed, uint32_t difficulty);

// Captures stdout and stderr (the log) for the scope of a test body. Failures
// reported meanwhile are captured too: set POOL_TEST_NO_CAPTURE to see them.
struct LogCapture {
  LogCapture();
  ~LogCapture();
  void finish();
  std::string out;
  std::string err;
  bool finished = false;
};

// A connection with the fake clock and the CPU solver installed, not yet connected.
std::unique_ptr<PoolConnection> make_test_connection(const Config& config, FakeClock& clock);

// Connects to `pool` with `clock`, submits `proof` for the first job and
// closes the connection: what submit_share returned.
std::string submit_one_share(ScriptedPool& pool, FakeClock& clock, const std::string& proof = "cA==");

// Debug lines on for the scope of a test.
struct DebugLog {
  bool saved = log_debug_enabled;
  DebugLog() { log_debug_enabled = true; }
  ~DebugLog() { log_debug_enabled = saved; }
};
