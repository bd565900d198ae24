#include "pool/line_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "core/errors.h"
#include "pool/pool_connection.h"
#include "scripted_pool.h"

namespace {

// A connection whose socket is connected to a scripted peer.
struct TransportFixture : testing::Test {
  ScriptedPool pool;
  std::unique_ptr<PoolConnection> conn;

  void connect_to_pool() {
    conn = std::make_unique<PoolConnection>(pool_test_config(pool.port()));
    conn->fd = tcp_connect("127.0.0.1", pool.port(), "stratum pool");
    conn->phase = "test";
  }

  std::string recv_error(uint32_t timeout_ms) {
    try {
      recv_line(*conn, timeout_ms);
    } catch (const StratumConnectionError& e) {
      return e.what();
    }
    return "no error";
  }
};

TEST_F(TransportFixture, LinesKeepCarriageReturnsAndStopAtTheNewline) {
  pool.run([](ScriptedPool& p) {
    auto link = p.accept();
    link->send_raw("first\r\nsecond\nthird");
    link->read_line();  // hold the link open until the miner is done
  });
  connect_to_pool();
  EXPECT_EQ(recv_line(*conn, 2000), "first\r");
  EXPECT_TRUE(wait_readable(*conn, 0));
  EXPECT_EQ(recv_line(*conn, 2000), "second");
  send_all(*conn, "done\n", 5);
}

TEST_F(TransportFixture, WaitReadableWithZeroTimeOutReturnsAtOnce) {
  pool.run([](ScriptedPool& p) {
    auto link = p.accept();
    link->read_line();
    link->send_line("x");
    link->read_line();
  });
  connect_to_pool();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(wait_readable(*conn, 0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  send_all(*conn, "go\n", 3);
  EXPECT_TRUE(wait_readable(*conn, 2000));
  EXPECT_EQ(recv_line(*conn, 2000), "x");
  send_all(*conn, "", 0);
  send_all(*conn, "end\n", 4);
}

TEST_F(TransportFixture, PeerClosingMidLineReportsThePartialLine) {
  pool.run([](ScriptedPool& p) {
    auto link = p.accept();
    link->send_raw("abc");
  });
  connect_to_pool();
  pool.join();
  const std::string error = recv_error(2000);
  EXPECT_EQ(error.rfind("stratum connection closed by peer phase=test endpoint=127.0.0.1:", 0), 0u) << error;
  EXPECT_NE(error.find(" timeout_ms=2000 partial_line_bytes=3 has_job=false has_mining_params=false "
                       "has_challenge=false pending_responses=0"),
            std::string::npos)
      << error;
}

TEST_F(TransportFixture, OversizedLineBreaksTheConnection) {
  pool.run([](ScriptedPool& p) {
    auto link = p.accept();
    link->send_line(std::string(kMaxLineBytes, 'a'));
    link->send_line(std::string(kMaxLineBytes + 1, 'b'));
    link->read_line();
  });
  connect_to_pool();
  EXPECT_EQ(recv_line(*conn, 2000).size(), kMaxLineBytes);
  const std::string error = recv_error(2000);
  EXPECT_EQ(error.rfind("stratum line exceeds 65536 bytes phase=test", 0), 0u) << error;
  EXPECT_NE(error.find("partial_line_bytes=65536"), std::string::npos);
  send_all(*conn, "done\n", 5);
}

TEST_F(TransportFixture, TricklingPeerCannotHoldALineBeyondItsDeadline) {
  pool.run([](ScriptedPool& p) {
    auto link = p.accept();
    try {
      for (int i = 0; i < 20; ++i) {
        link->send_raw("x");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    } catch (const std::exception&) {
      // the miner gave up first
    }
  });
  connect_to_pool();
  const auto start = std::chrono::steady_clock::now();
  const std::string error = recv_error(300);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(error.rfind("stratum recv timeout", 0), 0u) << error;
  EXPECT_LT(elapsed, std::chrono::milliseconds(800));
  conn->close_socket();
}

TEST(TcpConnectTest, ConnectsByAddressOrNameOverIpv4AndIpv6) {
  ScriptedPool v4;
  v4.run([](ScriptedPool& p) {
    p.accept();
    p.accept();
  });
  int fd = tcp_connect("127.0.0.1", v4.port(), "stratum pool");
  EXPECT_GE(fd, 0);
  close(fd);
  fd = tcp_connect("localhost", v4.port(), "stratum pool");
  EXPECT_GE(fd, 0);
  close(fd);
  v4.join();

  const int listener = socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(listener);
    GTEST_SKIP() << "no IPv6 loopback";
  }
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t len = sizeof(addr);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  fd = tcp_connect("::1", ntohs(addr.sin6_port), "stratum pool");
  EXPECT_GE(fd, 0);
  close(fd);
  close(listener);
}

TEST(TcpConnectTest, FailuresNameTheHostOrThePeer) {
  uint16_t closed_port = 0;
  {
    ScriptedPool unused;
    closed_port = unused.port();
  }
  try {
    tcp_connect("127.0.0.1", closed_port, "stratum pool");
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "connect() failed for stratum pool");
  }
  try {
    tcp_connect("", 3333, "tcp gateway");
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "unable to resolve host: ");
  }
}

// A process with many files open gets descriptors beyond FD_SETSIZE; waiting
// on one must work like waiting on any other.
TEST_F(TransportFixture, ADescriptorBeyondFdSetsizeIsWaitedOnLikeAnyOther) {
  constexpr int kHigh = FD_SETSIZE + 40;
  struct FileLimit {
    rlimit saved{};
    FileLimit() { getrlimit(RLIMIT_NOFILE, &saved); }
    ~FileLimit() { setrlimit(RLIMIT_NOFILE, &saved); }
  } limit;
  if (limit.saved.rlim_cur <= static_cast<rlim_t>(kHigh)) {
    if (limit.saved.rlim_max != RLIM_INFINITY && limit.saved.rlim_max <= static_cast<rlim_t>(kHigh)) {
      GTEST_SKIP() << "the file limit does not allow a descriptor beyond FD_SETSIZE";
    }
    rlimit raised = limit.saved;
    raised.rlim_cur = kHigh + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  }
  pool.run([](ScriptedPool& p) {
    auto link = p.accept();
    link->read_line();
    link->send_line("beyond");
    link->read_line();
  });
  connect_to_pool();
  const int high = fcntl(conn->fd, F_DUPFD, kHigh);
  ASSERT_GE(high, FD_SETSIZE);
  close(conn->fd);
  conn->fd = high;
  EXPECT_FALSE(wait_readable(*conn, 0));
  send_all(*conn, "go\n", 3);
  EXPECT_TRUE(wait_readable(*conn, 3000));
  EXPECT_EQ(recv_line(*conn, 2000), "beyond");
  EXPECT_FALSE(wait_readable(*conn, 0));
  send_all(*conn, "done\n", 5);
  conn.reset();
}

TEST_F(TransportFixture, WaitingOnAClosedConnectionFailsAtOnce) {
  conn = std::make_unique<PoolConnection>(pool_test_config(pool.port()));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(wait_readable(*conn, 3000), StratumConnectionError);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
}

}  // namespace
