// The bounded handshake of credentials the pool may not accept: a refused
// login ends it at once, a pool that cannot be reached ends it after the
// given number of tries.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "pool/pool_connection.h"
#include "pool/pool_handshake.h"
#include "scripted_pool.h"

namespace {

// The pool answers authorize with `reply` (its id filled in).
void answer_authorize(PeerLink& link, const std::string& reply_tail) {
  link.send_line(kGreeting);
  link.read_line();
  link.send_line(ok_reply(1, "{\"vexal/v1\":true}"));
  link.read_line();
  link.send_line(ok_reply(2));
  link.read_line();
  link.send_line("{\"id\":3," + reply_tail + "}");
}

TEST(BoundedHandshakeTest, GivesUpAtARefusedLoginOrAfterItsTries) {
  struct Case {
    const char* name;
    std::function<void(ScriptedPool&)> pool;
    bool connected;
    std::vector<int64_t> sleeps;
    const char* failure;  // start of the failure text
    int reconnect_failed_lines;
  };
  const Case cases[] = {
      {"authorize error",
       [](ScriptedPool& p) {
         auto link = p.accept();
         answer_authorize(*link, "\"result\":null,\"error\":[24,\"unauthorized worker\",null]");
         EXPECT_TRUE(link->closed_by_miner());
       },
       false, {}, "pool refused the login: ", 0},
      {"authorize false",
       [](ScriptedPool& p) {
         auto link = p.accept();
         answer_authorize(*link, "\"result\":false,\"error\":null");
         EXPECT_TRUE(link->closed_by_miner());
       },
       false, {}, "pool refused the login: {\"id\":3,\"result\":false,\"error\":null}", 0},
      {"unreachable",
       [](ScriptedPool& p) {
         for (int i = 0; i < 3; ++i) p.accept();  // accepted and closed at once
       },
       false, {250, 500}, "stratum connection closed by peer", 2},
      {"second try succeeds",
       [](ScriptedPool& p) {
         p.accept();
         auto link = p.accept();
         int32_t id = 1;
         HandshakeScript script;
         serve_handshake(*link, id, script);
         EXPECT_TRUE(link->closed_by_miner());
       },
       true, {250}, "stratum connection closed by peer", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPool pool;
    pool.run(c.pool);
    FakeClock clock;
    LogCapture log;
    std::string failure;
    {
      auto conn = make_test_connection(pool_test_config(pool.port()), clock);
      EXPECT_EQ(connect_and_handshake_bounded(*conn, 3, failure), c.connected);
      EXPECT_EQ(conn->has_job, c.connected);
      EXPECT_EQ(conn->fd >= 0, c.connected);
    }
    pool.join();
    log.finish();
    EXPECT_EQ(clock.sleeps(), c.sleeps);
    if (!c.connected) EXPECT_EQ(failure.rfind(c.failure, 0), 0u) << failure;
    size_t lines = 0;
    for (size_t at = log.err.find("reconnect_failed"); at != std::string::npos;
         at = log.err.find("reconnect_failed", at + 1)) {
      ++lines;
    }
    EXPECT_EQ(lines, static_cast<size_t>(c.reconnect_failed_lines)) << log.err;
  }
}

}  // namespace
