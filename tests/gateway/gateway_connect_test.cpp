#include "pool/gateway_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "scripted_gateway.h"

namespace {

std::string connect_error(const Config& config) {
  try {
    connect_gateway(config);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no error";
}

// A listening unix socket at a path of exactly `length` bytes, in a temporary directory.
class LongPathListener {
 public:
  explicit LongPathListener(size_t length) : directory_(make_temporary_directory()) {
    path_ = directory_ + "/";
    path_ += std::string(length - path_.size(), 's');
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.data(), path_.size());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 && ::listen(fd_, 1) == 0;
  }
  ~LongPathListener() {
    ::close(fd_);
    std::filesystem::remove_all(directory_);
  }
  const std::string& path() const { return path_; }
  bool bound() const { return bound_; }

 private:
  std::string directory_;
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(GatewayConnectTest, ConnectsByTransportAndLogsIt) {
  ScriptedGateway uds(GatewayTransport::uds);
  ScriptedGateway tcp(GatewayTransport::tcp);
  uds.play({});
  tcp.play({});

  testing::internal::CaptureStdout();
  auto by_socket = connect_gateway(uds.config());
  const Config tcp_config = tcp.config();
  auto by_tcp = connect_gateway(tcp_config);
  const std::string log = testing::internal::GetCapturedStdout();

  EXPECT_GE(by_socket->fd, 0);
  EXPECT_EQ(by_socket->last_request_id, 0);
  EXPECT_GE(by_tcp->fd, 0);
  EXPECT_NE(log.find("component=gateway connected transport=uds path=" + uds.socket_path() + "\n"),
            std::string::npos) << log;
  EXPECT_NE(log.find("component=gateway connected transport=tcp host=127.0.0.1 port=" +
                     std::to_string(tcp_config.port) + "\n"),
            std::string::npos) << log;
}

TEST(GatewayConnectTest, OnlyTheExactWordTcpSelectsTcp) {
  ScriptedGateway uds(GatewayTransport::uds);
  uds.play({});
  Config config = uds.config();
  config.transport = "TCP";
  config.port = 1;  // nothing listens there
  testing::internal::CaptureStdout();
  EXPECT_EQ(connect_error(config), "no error");
  EXPECT_NE(testing::internal::GetCapturedStdout().find("transport=uds"), std::string::npos);
}

TEST(GatewayConnectTest, UnixSocketPathsUpTo107BytesAreUsedWhole) {
  LongPathListener listener(107);
  ASSERT_TRUE(listener.bound());
  Config config;
  config.socket_path = listener.path();
  testing::internal::CaptureStdout();
  EXPECT_EQ(connect_error(config), "no error");
  testing::internal::GetCapturedStdout();

  config.socket_path += "x";
  EXPECT_EQ(connect_error(config), "socket path too long");
}

TEST(GatewayConnectTest, NoGatewayListeningFailsTheConnect) {
  const std::string directory = make_temporary_directory();
  Config config;
  config.socket_path = directory + "/absent.sock";
  EXPECT_EQ(connect_error(config), "connect() failed for unix gateway");
  std::filesystem::remove_all(directory);

  // A port that was just free: nothing accepts there.
  Config tcp;
  tcp.transport = "tcp";
  {
    ScriptedGateway probe(GatewayTransport::tcp);
    tcp.port = probe.config().port;
  }
  EXPECT_EQ(connect_error(tcp), "connect() failed for tcp gateway");
}

}  // namespace
