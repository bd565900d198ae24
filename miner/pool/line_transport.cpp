#include "pool/line_transport.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "core/errors.h"
#include "pool/pool_connection.h"

namespace {

std::string errno_text(int err) {
  return std::to_string(err) + " (" + std::strerror(err) + ")";
}

int64_t steady_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits until one descriptor is ready for reading or writing, restarting on
// EINTR. poll() takes any descriptor number, where select() is bounded by
// FD_SETSIZE. A hang-up or an error counts as ready: the following recv or
// send reports it.
int poll_one(int fd, bool for_write, uint32_t timeout_ms) {
  // poll() skips a negative descriptor and would just wait out the time.
  if (fd < 0) {
    throw StratumConnectionError(std::string(for_write ? "poll(write)" : "poll(read)") +
                                 " failed errno=" + errno_text(EBADF));
  }
  const int timeout = timeout_ms > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeout_ms);
  for (;;) {
    pollfd entry{fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    const int rc = ::poll(&entry, 1, timeout);
    if (rc < 0 && errno == EINTR) continue;
    const int err = rc < 0 ? errno : (entry.revents & POLLNVAL) != 0 ? EBADF : 0;
    if (err != 0) {
      throw StratumConnectionError(std::string(for_write ? "poll(write)" : "poll(read)") +
                                   " failed errno=" + errno_text(err));
    }
    return rc > 0 ? 1 : 0;
  }
}

}  // namespace

int tcp_connect(const std::string& host, uint16_t port, const char* label) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  // getaddrinfo is thread-safe, unlike gethostbyname: every device thread
  // connects at the same time.
  if (host.empty() || getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 ||
      found == nullptr) {
    throw std::runtime_error("unable to resolve host: " + host);
  }
  bool socket_created = false;
  int fd = -1;
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0) continue;
    socket_created = true;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
    close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  if (fd >= 0) return fd;
  if (!socket_created) throw std::runtime_error("socket() failed");
  throw std::runtime_error(std::string("connect() failed for ") + label);
}

bool wait_readable(PoolConnection& conn, uint32_t timeout_ms) {
  return poll_one(conn.fd, false, timeout_ms) == 1;
}

std::string recv_line(PoolConnection& conn, uint32_t timeout_ms) {
  std::string line;
  const int64_t deadline_ms = steady_now_ms() + timeout_ms;
  auto fail = [&](const std::string& prefix) {
    throw StratumConnectionError(describe_stratum_connection(conn, prefix, line.size(), timeout_ms));
  };
  for (;;) {
    const int64_t left_ms = deadline_ms - steady_now_ms();
    if (left_ms <= 0 || poll_one(conn.fd, false, static_cast<uint32_t>(left_ms)) == 0) {
      fail("stratum recv timeout");
    }
    // One byte per call keeps everything after the newline in the socket, so
    // a readability test tells whether another line has begun.
    char byte = 0;
    const ssize_t got = recv(conn.fd, &byte, 1, 0);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      fail("stratum recv() failed errno=" + errno_text(errno));
    }
    if (got == 0) fail("stratum connection closed by peer");
    if (byte == '\n') return line;
    if (line.size() >= kMaxLineBytes) {
      fail("stratum line exceeds " + std::to_string(kMaxLineBytes) + " bytes");
    }
    line.push_back(byte);
  }
}

void send_all(PoolConnection& conn, const char* data, size_t length) {
  size_t sent = 0;
  while (sent < length) {
    const ssize_t rc = send(conn.fd, data + sent, length - sent, MSG_NOSIGNAL);
    if (rc > 0) {
      sent += static_cast<size_t>(rc);
      continue;
    }
    const int err = errno;
    const std::string progress = " sent=" + std::to_string(sent) + " total=" + std::to_string(length);
    if (rc < 0 && err == EINTR) continue;
    if (rc < 0 && err == EAGAIN) {
      if (poll_one(conn.fd, true, 30000) == 1) continue;
      throw StratumConnectionError(describe_stratum_connection(
          conn, "stratum send() timed out waiting writable" + progress, 0, 30000));
    }
    throw StratumConnectionError(describe_stratum_connection(
        conn, "stratum send() failed errno=" + errno_text(err) + progress, 0, 30000));
  }
}

std::string describe_stratum_connection(const PoolConnection& conn, const std::string& prefix,
                                        uint64_t partial_line_bytes, uint32_t timeout_ms) {
  std::string out = prefix;
  out += " phase=" + conn.phase;
  if (conn.failover_index < conn.endpoints.size()) {
    const Endpoint& endpoint = conn.endpoints[conn.failover_index];
    out += " endpoint=" + endpoint.host + ":" + std::to_string(endpoint.port);
  }
  out += " fd=" + std::to_string(conn.fd);
  out += " timeout_ms=" + std::to_string(timeout_ms);
  out += " partial_line_bytes=" + std::to_string(partial_line_bytes);
  auto flag = [](bool v) { return v ? "true" : "false"; };
  out += std::string(" has_job=") + flag(conn.has_job);
  out += std::string(" has_mining_params=") + flag(conn.has_mining_params);
  out += std::string(" has_challenge=") + flag(conn.has_challenge);
  out += " pending_responses=" + std::to_string(conn.pending_responses.size());
  if (conn.fd >= 0) {
    int so_error = 0;
    socklen_t len = sizeof(so_error);
    if (getsockopt(conn.fd, SOL_SOCKET, SO_ERROR, &so_error, &len) == 0 && so_error != 0) {
      out += " so_error=" + errno_text(so_error);
    }
  }
  if (conn.connect_time != 0) {
    const int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
    out += " connected_ms=" + std::to_string((now_ns - conn.connect_time) / 1000000);
  }
  return out;
}
