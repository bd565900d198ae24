#include "pool/pool_handshake.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "pool/pool_connection.h"
#include "scripted_pool.h"

namespace {

std::string port_text(const ScriptedPool& pool) { return std::to_string(pool.port()); }

TEST(HandshakeTest, HandshakeSendsEscapedCredentialsAndHoldsParametersAndJob) {
  ScriptedPool pool;
  Config config = pool_test_config(pool.port());
  config.login = "vex1\"odd\\name";
  config.password = "x;d=131072";
  pool.run([](ScriptedPool& p) {
    auto link = p.accept();
    int32_t id = 1;
    HandshakeScript script;
    script.login = "vex1\\\"odd\\\\name";
    script.password = "x;d=131072";
    serve_handshake(*link, id, script);
    EXPECT_TRUE(link->closed_by_miner());
  });
  FakeClock clock;
  LogCapture log;
  {
    auto conn = make_test_connection(config, clock);
    connect_and_handshake(*conn);
    EXPECT_EQ(conn->phase, "idle");
    EXPECT_TRUE(conn->has_job);
    EXPECT_TRUE(conn->has_mining_params);
    EXPECT_EQ(conn->next_request_id, 4);
    EXPECT_EQ(conn->consecutive_failures, 0);
    EXPECT_EQ(conn->job.job_id, "job-1");
    EXPECT_EQ(conn->job.generation, 1u);
    EXPECT_EQ(conn->job.k, 4096);
    EXPECT_EQ(conn->login, config.login);
  }
  pool.join();
  log.finish();
  EXPECT_TRUE(clock.sleeps().empty());
  EXPECT_NE(log.out.find("component=pool connected host=127.0.0.1 port=" + port_text(pool) + "\n"),
            std::string::npos);
  EXPECT_NE(log.out.find("component=pool mining_params m=256 n=256 k=4096 rank=128 h=2 w=64\n"),
            std::string::npos);
  EXPECT_EQ(log.err, "");
}

// The pool side of a first try that fails; the second try succeeds.
struct RefusalCase {
  const char* name;
  std::function<void(PeerLink&, int32_t&)> first_try;
  std::string error;  // expected text of the reconnect_failed line
};

void configure_and_subscribe_ok(PeerLink& link, int32_t& id) {
  link.send_line(kGreeting);
  link.read_line();
  link.send_line(ok_reply(id++, "{\"vexal/v1\":true}"));
  link.read_line();
  link.send_line(ok_reply(id++));
}

void through_authorize(PeerLink& link, int32_t& id) {
  configure_and_subscribe_ok(link, id);
  link.read_line();
  link.send_line(ok_reply(id++));
}

TEST(HandshakeTest, RefusedTriesAreRetriedAfterTheBackOff) {
  const std::string cols_1_to_64 = [] {
    std::string s = "[";
    for (int i = 1; i <= 64; ++i) s += (i > 1 ? "," : "") + std::to_string(i);
    return s + "]";
  }();
  const RefusalCase cases[] = {
      {"extension refused",
       [](PeerLink& link, int32_t& id) {
         link.send_line(kGreeting);
         link.read_line();
         link.send_line(ok_reply(id++, "{\"vexal/v1\":false}"));
       },
       R"(Stratum pool did not accept vexal/v1: {\"id\":1,\"result\":{\"vexal/v1\":false},\"error\":null})"},
      {"authorize refused",
       [](PeerLink& link, int32_t& id) {
         configure_and_subscribe_ok(link, id);
         link.read_line();
         link.send_line("{\"id\":3,\"result\":null,\"error\":[24,\"unauthorized\"]}");
         ++id;
       },
       R"(Stratum error response: {\"id\":3,\"result\":null,\"error\":[24,\"unauthorized\"]})"},
      {"other m",
       [](PeerLink& link, int32_t& id) {
         through_authorize(link, id);
         link.send_line(mining_params_line(512));
       },
       "pool mining config uses unsupported m/n/rank/row/col profile"},
      {"other rank",
       [](PeerLink& link, int32_t& id) {
         through_authorize(link, id);
         link.send_line(mining_params_line(256, 256, 4096, 64));
       },
       "pool mining config uses unsupported m/n/rank/row/col profile"},
      {"other rows",
       [](PeerLink& link, int32_t& id) {
         through_authorize(link, id);
         link.send_line(mining_params_line(256, 256, 4096, 128, "[0,16]"));
       },
       "pool mining config uses unsupported m/n/rank/row/col profile"},
      {"other cols",
       [cols_1_to_64](PeerLink& link, int32_t& id) {
         through_authorize(link, id);
         link.send_line(mining_params_line(256, 256, 4096, 128, "[0,32]", cols_1_to_64));
       },
       "pool mining config uses unsupported m/n/rank/row/col profile"},
      {"k not a multiple of rank",
       [](PeerLink& link, int32_t& id) {
         through_authorize(link, id);
         link.send_line(mining_params_line(256, 256, 4000));
       },
       "pool mining config uses unsupported k/rank shape"},
      {"k zero",
       [](PeerLink& link, int32_t& id) {
         through_authorize(link, id);
         link.send_line(mining_params_line(256, 256, 0));
       },
       "pool mining config uses unsupported k/rank shape"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPool pool;
    pool.run([&c](ScriptedPool& p) {
      int32_t id = 1;
      {
        auto link = p.accept();
        c.first_try(*link, id);
        EXPECT_TRUE(link->closed_by_miner());
      }
      auto link = p.accept();
      serve_handshake(*link, id);
      EXPECT_TRUE(link->closed_by_miner());
    });
    FakeClock clock;
    LogCapture log;
    {
      auto conn = make_test_connection(pool_test_config(pool.port()), clock);
      connect_and_handshake(*conn);
      EXPECT_TRUE(conn->has_job);
      EXPECT_EQ(conn->consecutive_failures, 0);
    }
    pool.join();
    log.finish();
    EXPECT_EQ(clock.sleeps(), std::vector<int64_t>{250});
    EXPECT_NE(log.err.find("component=pool reconnect_failed error=\"" + c.error +
                           "\" retry_ms=250 failures=1 endpoint=127.0.0.1:" + port_text(pool) + "\n"),
              std::string::npos)
        << log.err;
  }
}

TEST(HandshakeTest, TwoFailuresSwitchEndpointsAndTheBackOffDoubles) {
  ScriptedPool a;
  ScriptedPool b;
  auto refuse_twice = [](ScriptedPool& p) {
    for (int i = 0; i < 2; ++i) p.accept();  // accepted and closed at once
  };
  a.run([&](ScriptedPool& p) {
    refuse_twice(p);
    int32_t id = 1;
    auto link = p.accept();
    serve_handshake(*link, id);
    EXPECT_TRUE(link->closed_by_miner());
  });
  b.run(refuse_twice);
  FakeClock clock;
  LogCapture log;
  {
    auto conn = make_test_connection(pool_test_config(a.port(), {b.port()}), clock);
    connect_and_handshake(*conn);
    EXPECT_EQ(conn->failover_index, 0u);
    EXPECT_TRUE(conn->has_job);
  }
  a.join();
  b.join();
  log.finish();
  EXPECT_EQ(clock.sleeps(), (std::vector<int64_t>{250, 500, 1000, 2000}));
  const std::string ea = "127.0.0.1:" + port_text(a);
  const std::string eb = "127.0.0.1:" + port_text(b);
  EXPECT_NE(log.err.find("retry_ms=250 failures=1 endpoint=" + ea), std::string::npos);
  EXPECT_NE(log.err.find("retry_ms=500 failures=2 endpoint=" + ea), std::string::npos);
  EXPECT_NE(log.err.find("failover_switch from=" + ea + " to=" + eb + " index=1\n"), std::string::npos);
  EXPECT_NE(log.out.find("connected host=127.0.0.1 port=" + port_text(b) + " failover_index=1\n"),
            std::string::npos);
  EXPECT_NE(log.err.find("retry_ms=2000 failures=2 endpoint=" + eb), std::string::npos);
  EXPECT_NE(log.err.find("failover_switch from=" + eb + " to=" + ea + " index=0\n"), std::string::npos);
}

TEST(HandshakeTest, SingleEndpointBackOffStopsGrowingAtFourSeconds) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    for (int i = 0; i < 6; ++i) p.accept();
    serve_session(p);
  });
  FakeClock clock;
  LogCapture log;
  {
    auto conn = make_test_connection(pool_test_config(pool.port()), clock);
    connect_and_handshake(*conn);
    EXPECT_EQ(conn->consecutive_failures, 0);
  }
  pool.join();
  log.finish();
  EXPECT_EQ(clock.sleeps(), (std::vector<int64_t>{250, 500, 1000, 2000, 4000, 4000}));
  EXPECT_NE(log.err.find("failures=6 "), std::string::npos);
  EXPECT_EQ(log.err.find("failover_switch"), std::string::npos);
}

TEST(HandshakeTest, JobWaitEndsAtItsDeadlineWhileLinesKeepComing) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    int32_t id = 1;
    {
      auto link = p.accept();
      through_authorize(*link, id);
      link->send_line(mining_params_line());
      for (int i = 0; i < 3; ++i) {
        link->send_line("{\"id\":null,\"method\":\"mining.set_difficulty\",\"params\":[2]}");
      }
      EXPECT_TRUE(link->closed_by_miner());
    }
    auto link = p.accept();
    serve_handshake(*link, id);
    EXPECT_TRUE(link->closed_by_miner());
  });
  FakeClock clock;
  clock.advance_per_read_ns = 11'000'000'000;
  LogCapture log;
  {
    auto conn = make_test_connection(pool_test_config(pool.port()), clock);
    connect_and_handshake(*conn);
    EXPECT_TRUE(conn->has_job);
    // The difficulty of the failed try was cleared with it.
    EXPECT_FALSE(conn->has_share_nbits_override);
    EXPECT_EQ(conn->job.share_nbits, "1d00ffff");
  }
  pool.join();
  log.finish();
  EXPECT_NE(log.err.find("reconnect_failed error=\"timed out waiting for mining.notify\" retry_ms=250"),
            std::string::npos)
      << log.err << log.out;
}

TEST(HandshakeTest, OpenPoolConnectionReturnsAHandshakenConnection) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) { serve_session(p); });
  LogCapture log;
  auto conn = open_pool_connection(pool_test_config(pool.port()));
  EXPECT_TRUE(conn->has_job);
  EXPECT_GE(conn->fd, 0);
  conn.reset();
  pool.join();
}

}  // namespace
