#include "scripted_gateway.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace {

// True when fd becomes readable before `stopping` is raised.
bool wait_readable_unless(int fd, const std::atomic<bool>& stopping) {
  while (!stopping.load()) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 20) > 0) return true;
  }
  return false;
}

}  // namespace

std::string make_temporary_directory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "korvath-gw-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

ScriptedGateway::ScriptedGateway(GatewayTransport transport) : transport_(transport) {
  if (transport == GatewayTransport::uds) {
    directory_ = make_temporary_directory();
    socket_path_ = directory_ + "/gw.sock";
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path_.c_str(), sizeof(address.sun_path) - 1);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      throw std::runtime_error("bind unix failed");
    }
  } else {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      throw std::runtime_error("bind tcp failed");
    }
    socklen_t length = sizeof(address);
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  if (::listen(listen_fd_, 1) != 0) throw std::runtime_error("listen failed");
}

ScriptedGateway::~ScriptedGateway() {
  stopping_.store(true);
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  if (!directory_.empty()) std::filesystem::remove_all(directory_);
}

Config ScriptedGateway::config() const {
  Config config;
  config.transport = transport_ == GatewayTransport::tcp ? "tcp" : "uds";
  config.socket_path = socket_path_;
  config.host = "127.0.0.1";
  config.port = port_;
  config.m = 256;
  config.n = 512;
  config.k = 256;
  config.rank = 64;
  return config;
}

void ScriptedGateway::play(std::vector<GatewayStep> steps) {
  thread_ = std::thread([this, steps = std::move(steps)]() mutable { serve(std::move(steps)); });
}

std::vector<std::string> ScriptedGateway::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::string ScriptedGateway::read_line(int fd) {
  std::string line;
  while (wait_readable_unless(fd, stopping_)) {
    char byte = 0;
    if (::recv(fd, &byte, 1, 0) != 1) break;
    line.push_back(byte);
    if (byte == '\n') break;
  }
  return line;
}

void ScriptedGateway::serve(std::vector<GatewayStep> steps) {
  if (!wait_readable_unless(listen_fd_, stopping_)) return;
  const int fd = ::accept(listen_fd_, nullptr, nullptr);
  if (fd < 0) return;
  for (const GatewayStep& step : steps) {
    if (step.stop_reading) break;
    std::string line = read_line(fd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(line);
    }
    if (line.empty() || line.back() != '\n') break;
    if (step.close_after_request) break;
    if (!step.reply) {
      while (!stopping_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      break;
    }
    const std::string reply = *step.reply + "\n";
    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
  }
  // Hold the connection (unread) until the test is done with it, unless told to hang up.
  if (steps.empty() || !steps.back().close_after_request) {
    while (!stopping_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::close(fd);
}
