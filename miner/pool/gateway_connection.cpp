#include "pool/gateway_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "core/log.h"
#include "core/log_value.h"
#include "pool/line_transport.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxUnixPathBytes = sizeof(sockaddr_un::sun_path) - 1;  // 107, keeps the terminator

int connect_unix(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket() failed");
  if (path.size() > kMaxUnixPathBytes) {
    ::close(fd);
    throw std::runtime_error("socket path too long");
  }
  sockaddr_un address;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    throw std::runtime_error("connect() failed for unix gateway");
  }
  return fd;
}

[[noreturn]] void throw_timed_out(const GatewayConnection& gateway, const char* stage) {
  throw std::runtime_error("gateway request timed out after " + std::to_string(gateway.timeout_ms) +
                           " ms while " + stage);
}

// Waits until the socket is ready for `events` or the deadline passes.
bool wait_ready(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left));
    if (ready > 0) return true;  // includes errors and hang-ups, which the next call reports
    if (ready < 0 && errno != EINTR) return true;
  }
}

void send_request(GatewayConnection& gateway, const std::string& request, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < request.size()) {
    if (!wait_ready(gateway.fd, POLLOUT, deadline)) throw_timed_out(gateway, "sending");
    // Non-blocking, so a large request cannot stall past the deadline in one call.
    const ssize_t n = ::send(gateway.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n < 1) throw std::runtime_error("send() failed");
    sent += static_cast<size_t>(n);
  }
}

std::string receive_line(GatewayConnection& gateway, Clock::time_point deadline) {
  // One byte per recv: nothing after the newline is taken from the socket.
  std::string line;
  for (;;) {
    if (!wait_ready(gateway.fd, POLLIN, deadline)) throw_timed_out(gateway, "waiting for the reply");
    char byte = 0;
    const ssize_t n = ::recv(gateway.fd, &byte, 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n < 1) throw std::runtime_error("gateway closed connection");
    if (byte == '\n') return line;
    line.push_back(byte);
  }
}

}  // namespace

GatewayConnection::~GatewayConnection() {
  if (fd >= 0) ::close(fd);
}

std::unique_ptr<GatewayConnection> connect_gateway(const Config& config) {
  auto gateway = std::make_unique<GatewayConnection>();
  if (config.transport == "tcp") {
    gateway->fd = tcp_connect(config.host, static_cast<uint16_t>(config.port), "tcp gateway");
    log_info("gateway", "connected transport=tcp host=" + log_value(config.host) + " port=" + std::to_string(config.port));
  } else {
    gateway->fd = connect_unix(config.socket_path);
    log_info("gateway", "connected transport=uds path=" + log_value(config.socket_path));
  }
  return gateway;
}

std::string gateway_exchange(GatewayConnection& gateway, const std::string& request) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(gateway.timeout_ms);
  send_request(gateway, request, deadline);
  return receive_line(gateway, deadline);
}
