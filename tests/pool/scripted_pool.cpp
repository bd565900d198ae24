#include "scripted_pool.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "blake3.h"
#include "pool/pool_handshake.h"
#include "pool/pool_operations.h"

PeerLink::~PeerLink() { close(); }

void PeerLink::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void PeerLink::send_raw(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t rc = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (rc <= 0) throw std::runtime_error("pool send failed");
    sent += static_cast<size_t>(rc);
  }
}

std::string PeerLink::read_line(int timeout_ms) {
  for (;;) {
    const size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    pollfd p{fd_, POLLIN, 0};
    const int rc = ::poll(&p, 1, timeout_ms);
    if (rc == 0) throw std::runtime_error("pool timed out waiting for a line from the miner");
    if (rc < 0 && errno == EINTR) continue;
    char chunk[4096];
    const ssize_t got = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (got <= 0) throw std::runtime_error("miner closed the connection; pending: " + buffer_);
    buffer_.append(chunk, static_cast<size_t>(got));
  }
}

bool PeerLink::try_read_line(std::string& line, int timeout_ms, bool& closed) {
  closed = false;
  for (;;) {
    const size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return true;
    }
    pollfd p{fd_, POLLIN, 0};
    const int rc = ::poll(&p, 1, timeout_ms);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    char chunk[4096];
    const ssize_t got = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (got <= 0) {
      closed = true;
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(got));
  }
}

std::vector<std::string> PeerLink::read_available() {
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) break;
    char chunk[4096];
    const ssize_t got = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (got <= 0) break;
    buffer_.append(chunk, static_cast<size_t>(got));
  }
  std::vector<std::string> lines;
  for (size_t newline = buffer_.find('\n'); newline != std::string::npos; newline = buffer_.find('\n')) {
    lines.push_back(buffer_.substr(0, newline));
    buffer_.erase(0, newline + 1);
  }
  return lines;
}

void PeerLink::expect_line(const std::string& expected, int timeout_ms) {
  const std::string line = read_line(timeout_ms);
  EXPECT_EQ(line, expected);
}

bool PeerLink::closed_by_miner(int timeout_ms) {
  if (fd_ < 0) return true;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return false;
  // A close with lines still unread arrives as a reset instead of an end of file.
  char byte;
  return ::recv(fd_, &byte, 1, 0) <= 0;
}

ScriptedPool::ScriptedPool() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ < 0) throw std::runtime_error("test pool socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(listen_fd_, 16) != 0) {
    throw std::runtime_error("test pool listen failed");
  }
  socklen_t len = sizeof(addr);
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
}

ScriptedPool::~ScriptedPool() {
  join();
  ::close(listen_fd_);
}

void ScriptedPool::join() {
  if (thread_.joinable()) thread_.join();
}

void ScriptedPool::run(Script script) {
  thread_ = std::thread([this, script = std::move(script)] {
    try {
      script(*this);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "scripted pool: " << e.what();
      // Refuse further connects so that the miner's retries end quickly.
      ::shutdown(listen_fd_, SHUT_RDWR);
    }
  });
}

std::unique_ptr<PeerLink> ScriptedPool::accept(int timeout_ms) {
  pollfd p{listen_fd_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) throw std::runtime_error("pool timed out waiting for a connect");
  const int fd = ::accept(listen_fd_, nullptr, nullptr);
  if (fd < 0) throw std::runtime_error("pool accept failed");
  return std::make_unique<PeerLink>(fd);
}

std::string mining_params_line(int m, int n, int k, int rank, const std::string& rows, const std::string& cols) {
  std::string col_text = cols;
  if (col_text.empty()) {
    col_text = "[";
    for (int i = 0; i < 64; ++i) col_text += (i ? "," : "") + std::to_string(i);
    col_text += "]";
  }
  return "{\"id\":null,\"method\":\"vexal.set_mining_params\",\"params\":{\"m\":" + std::to_string(m) +
         ",\"n\":" + std::to_string(n) + ",\"k\":" + std::to_string(k) + ",\"rank\":" + std::to_string(rank) +
         ",\"rows_pattern\":" + rows + ",\"cols_pattern\":" + col_text + "}}";
}

std::string notify_line(const std::string& job_id_json, const std::string& nbits, bool clean,
                        const std::string& header_hex) {
  return "{\"id\":null,\"method\":\"mining.notify\",\"params\":[" + job_id_json + ",\"prev\",\"" + header_hex +
         "\",\"c1\",[],\"" + nbits + "\"," + (clean ? "true" : "false") + "]}";
}

std::string ok_reply(int32_t id, const std::string& result) {
  return "{\"id\":" + std::to_string(id) + ",\"result\":" + result + ",\"error\":null}";
}

void serve_handshake(PeerLink& link, int32_t& next_id, const HandshakeScript& script) {
  link.send_line(kGreeting);
  int32_t id = next_id++;
  link.expect_line("{\"id\":" + std::to_string(id) +
                   ",\"method\":\"mining.configure\",\"params\":[[\"vexal/v1\"],{}]}");
  link.send_line(ok_reply(id, "{\"vexal/v1\":true}"));
  id = next_id++;
  link.expect_line("{\"id\":" + std::to_string(id) +
                   ",\"method\":\"mining.subscribe\",\"params\":[\"korvath/1.7.6\"]}");
  link.send_line(ok_reply(id, "[[],\"00\",4]"));
  id = next_id++;
  link.expect_line("{\"id\":" + std::to_string(id) + ",\"method\":\"mining.authorize\",\"params\":[\"" +
                   script.login + "\",\"" + script.password + "\"]}");
  link.send_line(ok_reply(id));
  link.send_line(script.params_line.empty() ? mining_params_line() : script.params_line);
  if (script.job_lines.empty()) {
    link.send_line(notify_line("\"job-1\"", "1d00ffff", true));
  } else {
    for (const std::string& line : script.job_lines) link.send_line(line);
  }
}

Config pool_test_config(uint16_t port, const std::vector<uint16_t>& failover_ports) {
  Config config;
  config.pool = "127.0.0.1";
  config.stratum_port = port;
  for (uint16_t p : failover_ports) config.failover_pools.push_back(Endpoint{"127.0.0.1", p});
  config.m = 256;
  config.n = 256;
  config.k = 4096;
  config.rank = 128;
  config.login = "vex1miner.rig0";
  config.password = "x";
  return config;
}

void FakeClock::install(PoolConnection& conn) {
  conn.clock.now_ns = [this] { return now_ns += advance_per_read_ns.load(); };
  conn.clock.sleep_ms = [this](int64_t ms) {
    std::lock_guard<std::mutex> lock(mutex);
    // A script gone wrong must not leave the miner retrying for ever.
    if (sleeps_ms.size() >= max_sleeps) throw std::runtime_error("test: too many reconnection sleeps");
    sleeps_ms.push_back(ms);
    now_ns += ms * 1000000;
  };
}

std::vector<int64_t> FakeClock::sleeps() {
  std::lock_guard<std::mutex> lock(mutex);
  return sleeps_ms;
}

bool challenge_answer_ok(const uint8_t seed[32], uint64_t nonce, uint32_t difficulty) {
  uint8_t message[40];
  for (int i = 0; i < 32; ++i) message[i] = seed[i];
  for (int i = 0; i < 8; ++i) message[32 + i] = static_cast<uint8_t>(nonce >> (8 * i));
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, message, sizeof(message));
  uint8_t digest[32];
  blake3_hasher_finalize(&hasher, digest, sizeof(digest));
  for (uint32_t bit = 0; bit < difficulty; ++bit) {
    if (digest[bit / 8] & (0x80u >> (bit % 8))) return false;
  }
  return true;
}

uint64_t cpu_challenge_solver(const uint8_t* seed, uint32_t difficulty) {
  for (uint64_t nonce = 0;; ++nonce) {
    if (challenge_answer_ok(seed, nonce, difficulty)) return nonce;
  }
}

std::unique_ptr<PoolConnection> make_test_connection(const Config& config, FakeClock& clock) {
  auto conn = std::make_unique<PoolConnection>(config);
  clock.install(*conn);
  conn->solve_challenge = cpu_challenge_solver;
  return conn;
}

LogCapture::LogCapture() {
  if (std::getenv("POOL_TEST_NO_CAPTURE") != nullptr) {
    finished = true;
    return;
  }
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
}

void LogCapture::finish() {
  if (finished) return;
  finished = true;
  err = testing::internal::GetCapturedStderr();
  out = testing::internal::GetCapturedStdout();
}

LogCapture::~LogCapture() { finish(); }

void serve_session(ScriptedPool& p, const std::function<void(PeerLink&, int32_t&)>& body) {
  int32_t id = 1;
  auto link = p.accept();
  serve_handshake(*link, id);
  if (body) body(*link, id);
  EXPECT_TRUE(link->closed_by_miner());
}

void serve_session_then_reconnect(ScriptedPool& p, const std::function<bool(PeerLink&, int32_t&)>& first) {
  int32_t id = 1;
  {
    auto link = p.accept();
    serve_handshake(*link, id);
    if (!first(*link, id)) return;
  }
  auto link = p.accept();
  serve_handshake(*link, id);
  EXPECT_TRUE(link->closed_by_miner());
}

std::string submit_one_share(ScriptedPool& pool, FakeClock& clock, const std::string& proof) {
  auto conn = make_test_connection(pool_test_config(pool.port()), clock);
  connect_and_handshake(*conn);
  return submit_share(*conn, proof, conn->job);
}
