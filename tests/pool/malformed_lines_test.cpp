// Lines a peer may send that the client must survive: each ends in a defined
// handling (ignored, or a logged reconnection), never a crash, a hang or an
// accepted share.
#include <gtest/gtest.h>

#include <string>

#include "pool/line_transport.h"
#include "pool/pool_connection.h"
#include "pool/pool_handshake.h"
#include "pool/pool_operations.h"
#include "pool/share_reply.h"
#include "scripted_pool.h"

namespace {

struct LineCase {
  const char* name;
  std::string bytes;        // sent as they stand after the handshake
  std::string error;        // empty: ignored; else the start of the connection_lost error
};

const std::string kNotifyHead = "{\"id\":null,\"method\":\"mining.notify\",\"params\":";

TEST(MalformedLinesTest, PolledLinesAreIgnoredOrReconnect) {
  const LineCase cases[] = {
      {"not json", "garbage\n", ""},
      {"empty line", "\n", ""},
      {"stray reply", "{\"id\":7,\"result\":true,\"error\":null}\n", ""},
      {"blank after the method colon", "{\"id\":null,\"method\": \"mining.notify\",\"params\":[]}\n", ""},
      {"unknown method", "{\"id\":null,\"method\":\"mining.ping\"}\n", ""},
      {"notify too short", kNotifyHead + "[\"j\",\"p\",\"00\"]}\n", "malformed mining.notify"},
      {"notify without params", "{\"id\":null,\"method\":\"mining.notify\"}\n", "missing JSON array field: params"},
      {"notify truncated array", kNotifyHead + "[\"j\",\"p\"\n", "unterminated JSON array field: params"},
      {"notify odd header", kNotifyHead + "[\"j\",\"p\",\"001\",\"\",[],\"1d00ffff\",true]}\n",
       "hex data has odd length"},
      {"notify nbits not hex", kNotifyHead + "[\"j\",\"p\",\"00\",\"\",[],\"zz\",true]}\n", "stoul"},
      {"notify zero mantissa", kNotifyHead + "[\"j\",\"p\",\"00\",\"\",[],\"1d000000\",true]}\n",
       "compact target has zero mantissa"},
      {"notify bad escape in id", kNotifyHead + "[\"j\\q\",\"p\",\"00\",\"\",[],\"1d00ffff\",true]}\n",
       "invalid JSON string escape"},
      {"difficulty zero", "{\"id\":null,\"method\":\"mining.set_difficulty\",\"params\":[0]}\n",
       "invalid mining.set_difficulty value"},
      {"difficulty text", "{\"id\":null,\"method\":\"mining.set_difficulty\",\"params\":[\"abc\"]}\n", "stod"},
      {"difficulty empty", "{\"id\":null,\"method\":\"mining.set_difficulty\",\"params\":[]}\n",
       "malformed mining.set_difficulty"},
      {"params without k",
       "{\"id\":null,\"method\":\"vexal.set_mining_params\",\"params\":{\"m\":256,\"n\":256,\"rank\":128}}\n",
       "missing JSON field: k"},
      {"params m beyond int32",
       "{\"id\":null,\"method\":\"vexal.set_mining_params\",\"params\":{\"m\":99999999999,\"n\":1,\"k\":1,\"rank\":1}}\n",
       "stoi"},
      {"params that do not fit", mining_params_line(256, 256, 4000) + "\n",
       "pool mining config uses unsupported k/rank shape"},
      {"oversized line", std::string(kMaxLineBytes + 10, 'x') + "\n", "stratum line exceeds 65536 bytes"},
      {"line cut by a close", "{\"id\":null,\"method\":\"mining.no", "stratum connection closed by peer"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    const bool reconnects = !c.error.empty();
    ScriptedPool pool;
    pool.run([&c, reconnects](ScriptedPool& p) {
      serve_session_then_reconnect(p, [&c, reconnects](PeerLink& link, int32_t&) {
        link.send_raw(c.bytes);
        if (c.error.rfind("stratum connection closed", 0) == 0) link.close();
        if (reconnects) {
          link.closed_by_miner();
        } else {
          EXPECT_TRUE(link.closed_by_miner());
        }
        return reconnects;
      });
    });
    FakeClock clock;
    LogCapture log;
    MiningJob job;
    bool polled = false;
    {
      auto conn = make_test_connection(pool_test_config(pool.port()), clock);
      connect_and_handshake(*conn);
      EXPECT_TRUE(wait_readable(*conn, 3000));
      polled = poll_connection(*conn, job);
      EXPECT_EQ(conn->next_request_id, reconnects ? 7 : 4);
    }
    pool.join();
    log.finish();
    EXPECT_TRUE(polled);
    EXPECT_EQ(job.job_id, "job-1");
    // A notify that fails after taking its generation still uses up the number.
    if (reconnects) {
      EXPECT_GE(job.generation, 2u);
    } else {
      EXPECT_EQ(job.generation, 1u);
    }
    const size_t lost = log.err.find("connection_lost phase=poll error=\"" + c.error);
    if (reconnects) {
      EXPECT_NE(lost, std::string::npos) << log.err;
    } else {
      EXPECT_EQ(log.err, "");
    }
  }
}

// Replies that arrive out of order or malformed while a share waits for its own.
TEST(MalformedLinesTest, ShareRepliesOutOfOrderNeverCountAsAccepted) {
  struct ReplyCase {
    const char* name;
    std::string before;   // lines the pool sends before (or instead of) the share's reply
    bool then_reply;      // whether the share's own reply follows
    std::string returned; // what submit_share returns
  };
  std::string many_parked;
  for (int i = 0; i <= 256; ++i) many_parked += "{\"id\":" + std::to_string(100 + i) + ",\"result\":true}\n";
  const std::string dropped = "{\"id\":4,\"result\":null,\"error\":null,\"dropped\":true,\"reason\":\"stratum_reconnect\"}";
  const ReplyCase cases[] = {
      {"other ids first", "{\"id\":9,\"result\":true,\"error\":null}\n{\"id\":3,\"result\":true,\"error\":null}\n",
       true, "{\"id\":4,\"result\":false,\"error\":null}"},
      {"quoted id", "{\"id\":\"4\",\"result\":true,\"error\":null}\n", true, "{\"id\":4,\"result\":false,\"error\":null}"},
      {"id beyond int32", "{\"id\":99999999999,\"result\":true}\n", false, dropped},
      {"too many parked replies", many_parked, false, dropped},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPool pool;
    pool.run([&c](ScriptedPool& p) {
      serve_session_then_reconnect(p, [&c](PeerLink& link, int32_t& id) {
        link.read_line();
        link.send_raw(c.before);
        if (c.then_reply) {
          link.send_line("{\"id\":4,\"result\":false,\"error\":null}");
          EXPECT_TRUE(link.closed_by_miner());
          return false;
        }
        link.closed_by_miner();
        id = 5;
        return true;
      });
    });
    FakeClock clock;
    LogCapture log;
    const std::string reply = submit_one_share(pool, clock);
    pool.join();
    log.finish();
    EXPECT_EQ(reply, c.returned);
    EXPECT_NE(judge_share_reply(reply).outcome, ShareOutcome::Accepted);
  }
}

// A notification the client cannot take, read while a share's reply is
// awaited, does not decide the share: its reply does. The next poll then
// reconnects as it would for that line.
TEST(MalformedLinesTest, ABadNotificationDuringAShareWaitLeavesTheShareToItsReply) {
  const LineCase cases[] = {
      {"negative difficulty", "{\"id\":null,\"method\":\"mining.set_difficulty\",\"params\":[\"-1\"]}\n",
       "invalid mining.set_difficulty value"},
      {"notify too short", kNotifyHead + "[\"j\",\"p\",\"00\"]}\n", "malformed mining.notify"},
      {"challenge seed too short",
       "{\"id\":null,\"method\":\"vexal.challenge\",\"params\":{\"seed\":\"00\",\"difficulty\":4}}\n",
       "malformed vexal.challenge seed"},
      {"two bad lines", "{\"id\":null,\"method\":\"mining.set_difficulty\",\"params\":[]}\n" + kNotifyHead + "[]}\n",
       "malformed mining.set_difficulty"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPool pool;
    pool.run([&c](ScriptedPool& p) {
      serve_session_then_reconnect(p, [&c](PeerLink& link, int32_t& id) {
        link.read_line();  // the share
        link.send_raw(c.bytes);
        link.send_line(ok_reply(id++));
        link.closed_by_miner();
        return true;
      });
    });
    FakeClock clock;
    LogCapture log;
    std::string reply;
    MiningJob job;
    bool polled = false;
    {
      auto conn = make_test_connection(pool_test_config(pool.port()), clock);
      connect_and_handshake(*conn);
      reply = submit_share(*conn, "cA==", conn->job);
      EXPECT_FALSE(conn->share_reply_awaited);
      polled = poll_connection(*conn, job);
      EXPECT_TRUE(conn->deferred_line_error.empty());
      EXPECT_EQ(conn->next_request_id, 8);
    }
    pool.join();
    log.finish();
    EXPECT_EQ(reply, ok_reply(4));
    EXPECT_EQ(judge_share_reply(reply).outcome, ShareOutcome::Accepted);
    EXPECT_TRUE(polled);
    EXPECT_EQ(log.err.find("phase=submit"), std::string::npos) << log.err;
    EXPECT_NE(log.err.find("connection_lost phase=poll error=\"" + c.error + "\" action=reconnect"),
              std::string::npos)
        << log.err;
  }
}

}  // namespace
