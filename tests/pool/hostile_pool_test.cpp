// A pool that tries to stall the miner, hide a job from it or write fields
// into its log: a challenge no device solves in time, notifications and
// replies with ids chosen to confuse, a job replaced just before a share goes
// out, and job ids and error texts built to look like log fields.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/log.h"
#include "logfmt_reader.h"
#include "pool/line_transport.h"
#include "pool/pool_connection.h"
#include "pool/pool_handshake.h"
#include "pool/pool_operations.h"
#include "pool/share_reply.h"
#include "proof/challenge_search.h"
#include "scripted_pool.h"

namespace {

constexpr int64_t kSecondNs = 1000LL * 1000 * 1000;

std::string challenge_line(const std::string& difficulty) {
  return "{\"id\":null,\"method\":\"vexal.challenge\",\"params\":{\"seed\":\"" + std::string(64, 'd') +
         "\",\"difficulty\":" + difficulty + "}}";
}

// A device that covers 1024 nonces per second of the connection's clock,
// searching through the same bound as the GPU solver.
ChallengeSolver slow_device(PoolConnection& conn, FakeClock& clock) {
  return [&conn, &clock](const uint8_t* seed, uint32_t difficulty) {
    const ChallengeSearchLimit limit{conn.clock.now_ns, kChallengeSearchLimitNs};
    return search_challenge_nonces(difficulty, 1024, limit, [&](uint64_t base, uint64_t& nonce) {
      clock.now_ns += kSecondNs;
      for (uint64_t candidate = base; candidate < base + 1024; ++candidate) {
        if (challenge_answer_ok(seed, candidate, difficulty)) {
          nonce = candidate;
          return true;
        }
      }
      return false;
    });
  };
}

const char kAbandoned[] =
    "component=pool challenge_abandoned difficulty=64 seconds=1.000 limit_seconds=60 reason=beyond_device "
    "action=reconnect\n";

// A challenge read while polling that the device cannot answer in time is
// given up after one launch; the connection is dropped and made again, and
// mining goes on with the job of the new connection.
TEST(HostilePoolTest, AChallengeOutOfReachIsGivenUpAndTheMinerReconnects) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    int32_t id = 1;
    {
      auto link = p.accept();
      serve_handshake(*link, id);
      link->send_line(challenge_line("64"));
      link->send_line(notify_line("\"job-2\"", "1d00ffff", true));
      EXPECT_TRUE(link->closed_by_miner());
    }
    auto link = p.accept();
    serve_handshake(*link, id, offering("\"job-3\""));
    EXPECT_TRUE(link->closed_by_miner());
  });
  FakeClock clock;
  LogCapture log;
  MiningJob job;
  bool polled = false;
  {
    auto conn = make_test_connection(pool_test_config(pool.port()), clock);
    conn->solve_challenge = slow_device(*conn, clock);
    connect_and_handshake(*conn);
    EXPECT_TRUE(wait_readable(*conn, 3000));
    polled = poll_connection(*conn, job);
    EXPECT_FALSE(conn->has_challenge);
  }
  pool.join();
  log.finish();
  EXPECT_TRUE(polled);
  EXPECT_EQ(job.job_id, "job-3");
  EXPECT_NE(log.err.find(kAbandoned), std::string::npos) << log.err;
  EXPECT_NE(log.err.find("component=pool connection_lost phase=poll error=\"challenge answer failed: BLAKE3 "
                         "challenge search abandoned difficulty=64 reason=beyond_device\" action=reconnect\n"),
            std::string::npos)
      << log.err;
  EXPECT_EQ(log.out.find("challenge_solved"), std::string::npos);
}

// The same challenge at every connect fails each try like any other failure:
// after two, the miner moves to the failover pool.
TEST(HostilePoolTest, AChallengeOutOfReachAtEveryConnectFailsOverToTheNextPool) {
  ScriptedPool hostile;
  ScriptedPool fair;
  hostile.run([](ScriptedPool& p) {
    for (int i = 0; i < 2; ++i) {
      auto link = p.accept();
      link->send_line(challenge_line("64"));
      EXPECT_TRUE(link->closed_by_miner());
    }
  });
  fair.run([](ScriptedPool& p) {
    int32_t id = 1;
    auto link = p.accept();
    serve_handshake(*link, id);
    EXPECT_TRUE(link->closed_by_miner());
  });
  FakeClock clock;
  LogCapture log;
  {
    auto conn = make_test_connection(pool_test_config(hostile.port(), {fair.port()}), clock);
    conn->solve_challenge = slow_device(*conn, clock);
    connect_and_handshake(*conn);
    EXPECT_EQ(conn->failover_index, 1u);
    EXPECT_TRUE(conn->has_job);
  }
  hostile.join();
  fair.join();
  log.finish();
  EXPECT_EQ(clock.sleeps(), (std::vector<int64_t>{250, 500}));
  size_t abandoned = 0;
  for (size_t at = log.err.find(kAbandoned); at != std::string::npos; at = log.err.find(kAbandoned, at + 1)) {
    ++abandoned;
  }
  EXPECT_EQ(abandoned, 2u) << log.err;
  EXPECT_NE(log.err.find("failover_switch from=127.0.0.1:" + std::to_string(hostile.port()) +
                         " to=127.0.0.1:" + std::to_string(fair.port()) + " index=1\n"),
            std::string::npos)
      << log.err;
}

std::string notify_with(const std::string& head, const std::string& job_id) {
  return head + "\"method\":\"mining.notify\",\"params\":[\"" + job_id +
         "\",\"prev\",\"00112233\",\"c1\",[],\"1d00ffff\",true]}";
}

// Lines a pool sends while a share (request id 4) waits for its reply. A line
// whose top-level object has a method is a notification whatever its id; a
// method nested in a reply does not make it one; ids no request of this
// connection can carry are ignored. The share's own reply decides its fate.
TEST(HostilePoolTest, OnlyTopLevelMethodsMakeNotificationsAndOnlyOurIdsMakeReplies) {
  struct Case {
    const char* name;
    std::vector<std::string> during_wait;
    bool reply_follows;  // the pool then answers the share with ok_reply(4)
    std::string returned;
    const char* job_after;
  };
  const std::string nested_reply =
      "{\"id\":4,\"result\":" + notify_with("{", "job-2") + ",\"error\":null}";
  const Case cases[] = {
      {"notify with id 0", {notify_with("{\"id\":0,", "job-2")}, true, ok_reply(4), "job-2"},
      {"notify with the awaited id", {notify_with("{\"id\":4,", "job-2")}, true, ok_reply(4), "job-2"},
      {"notify with its id last", {notify_with("{", "job-2").insert(1, "\"id\":7,")}, true, ok_reply(4), "job-2"},
      {"notify with a string id", {notify_with("{\"id\":\"n1\",", "job-2")}, true, ok_reply(4), "job-2"},
      {"method nested in the share's reply", {nested_reply}, false, nested_reply, "job-1"},
      {"reply id 2^40", {"{\"id\":1099511627776,\"result\":false,\"error\":null}"}, true, ok_reply(4), "job-1"},
      {"reply id 2^64", {"{\"id\":18446744073709551616,\"result\":false,\"error\":null}"}, true, ok_reply(4),
       "job-1"},
      {"reply id 0", {"{\"id\":0,\"result\":false,\"error\":null}"}, true, ok_reply(4), "job-1"},
      {"reply id not yet sent", {"{\"id\":5,\"result\":false,\"error\":null}"}, true, ok_reply(4), "job-1"},
      {"reply without an id", {"{\"result\":false,\"error\":[1,\"x\"]}", "[1,2]"}, true, ok_reply(4), "job-1"},
  };
  DebugLog debug;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPool pool;
    pool.run([&c](ScriptedPool& p) {
      serve_session(p, [&c](PeerLink& link, int32_t&) {
        link.read_line();  // the share
        for (const std::string& line : c.during_wait) link.send_line(line);
        if (c.reply_follows) link.send_line(ok_reply(4));
      });
    });
    FakeClock clock;
    LogCapture log;
    std::string reply;
    std::string job_after;
    {
      auto conn = make_test_connection(pool_test_config(pool.port()), clock);
      connect_and_handshake(*conn);
      reply = submit_share(*conn, "cA==", conn->job);
      job_after = conn->job.job_id;
      EXPECT_TRUE(conn->pending_responses.empty());
    }
    pool.join();
    log.finish();
    EXPECT_EQ(reply, c.returned);
    EXPECT_EQ(job_after, c.job_after);
    EXPECT_EQ(log.err, "");  // no reconnection, no dropped share
    EXPECT_TRUE(clock.sleeps().empty());
    if (std::string(c.name).rfind("reply id 2^40", 0) == 0) {
      EXPECT_NE(log.out.find("component=pool reply_ignored id=1099511627776 awaited=4 reason=unknown_id\n"),
                std::string::npos)
          << log.out;
    }
  }
}

// Replies to this connection's own earlier requests are parked, but no more
// than the limit: beyond it the peer is confused or hostile and the
// connection is made again, the share counted lost.
TEST(HostilePoolTest, ParkedRepliesToOurOwnRequestsStayBounded) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    serve_session_then_reconnect(p, [](PeerLink& link, int32_t& id) {
      link.read_line();  // the share, request 1000
      for (int i = 0; i <= static_cast<int>(kMaxParkedReplies); ++i) {
        link.send_line("{\"id\":" + std::to_string(100 + i) + ",\"result\":true}");
      }
      link.closed_by_miner();
      id = 1001;
      return true;
    });
  });
  FakeClock clock;
  LogCapture log;
  std::string reply;
  {
    auto conn = make_test_connection(pool_test_config(pool.port()), clock);
    connect_and_handshake(*conn);
    conn->next_request_id = 1000;  // as after a long session
    reply = submit_share(*conn, "cA==", conn->job);
  }
  pool.join();
  log.finish();
  EXPECT_EQ(reply, "{\"id\":1000,\"result\":null,\"error\":null,\"dropped\":true,\"reason\":\"stratum_reconnect\"}");
  EXPECT_NE(log.err.find("error=\"too many parked Stratum replies limit=256 "), std::string::npos) << log.err;
}

// Polling reads every waiting line, but a reply carrying a job inside its
// result is still no job.
TEST(HostilePoolTest, APolledReplyWithAMethodInsideItChangesNothing) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    serve_session(p, [](PeerLink& link, int32_t&) {
      link.send_line("{\"id\":2,\"result\":" + notify_with("{", "job-2") + ",\"error\":null}");
      link.send_line(notify_with("{\"id\":9,", "job-3"));
    });
  });
  FakeClock clock;
  LogCapture log;
  MiningJob job;
  {
    auto conn = make_test_connection(pool_test_config(pool.port()), clock);
    connect_and_handshake(*conn);
    for (int i = 0; i < 100 && job.job_id != "job-3"; ++i) {
      wait_readable(*conn, 100);
      poll_connection(*conn, job);
    }
    EXPECT_EQ(conn->job_generation, 2u);  // job-2 was never built
  }
  pool.join();
  log.finish();
  EXPECT_EQ(job.job_id, "job-3");
}

// Lines already waiting when a share is about to go out are read first: a job
// that replaced the share's keeps it from being sent at all.
TEST(HostilePoolTest, AShareWhoseJobWasReplacedMeanwhileIsHeldBack) {
  struct Case {
    const char* name;
    std::string waiting;  // sent by the pool before the share
    bool sent;
    const char* job_after;
  };
  const Case cases[] = {
      {"a new job", notify_line("\"job-2\"", "1d00ffff", true), false, "job-2"},
      {"a new job, not clean", notify_line("\"job-2\"", "1d00ffff", false), false, "job-2"},
      {"a difficulty change keeps the job", "{\"id\":null,\"method\":\"mining.set_difficulty\",\"params\":[2]}",
       true, "job-1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPool pool;
    pool.run([&c](ScriptedPool& p) {
      serve_session(p, [&c](PeerLink& link, int32_t&) {  // and nothing else sent before the close
        link.send_line(c.waiting);
        if (c.sent) {
          link.expect_line("{\"id\":4,\"method\":\"mining.submit\",\"params\":[\"vex1miner.rig0\",\"job-1\",\"cA==\"]}");
          link.send_line(ok_reply(4));
        }
      });
    });
    FakeClock clock;
    LogCapture log;
    ShareSubmission submission;
    {
      auto conn = make_test_connection(pool_test_config(pool.port()), clock);
      connect_and_handshake(*conn);
      const MiningJob share_job = conn->job;
      EXPECT_TRUE(wait_readable(*conn, 3000));
      submission = submit_share_if_current(*conn, "cA==", share_job);
      EXPECT_EQ(conn->job.job_id, c.job_after);
      EXPECT_EQ(conn->next_request_id, c.sent ? 5 : 4);
    }
    pool.join();
    log.finish();
    EXPECT_EQ(submission.sent, c.sent);
    if (c.sent) {
      EXPECT_EQ(submission.reply, ok_reply(4));
    } else {
      EXPECT_EQ(submission.current_job.job_id, "job-2");
      EXPECT_EQ(submission.current_job.generation, 2u);
    }
  }
}

// Job ids and error texts a pool chose to look like fields: every line the
// client writes about them reads as logfmt with its own keys only, and the
// values read back are the pool's texts.
TEST(HostilePoolTest, PoolTextsInTheLogReadBackAsSingleValues) {
  const std::string job_id = "x component=share submitted \"q\" a=b\\";
  const std::string job_json = R"("x component=share submitted \"q\" a=b\\")";
  const std::string error_reply = R"({"id":4,"result":null,"error":[23,"bad \" job=forged action=keep"]})";
  ScriptedPool pool;
  pool.run([&](ScriptedPool& p) {
    const HandshakeScript script = offering(job_json);
    int32_t id = 1;
    {
      auto link = p.accept();
      serve_handshake(*link, id, script);
      link->read_line();  // share 4: refused
      link->send_line(error_reply);
      link->read_line();  // share 5: lost with the connection
      id += 2;
    }
    auto link = p.accept();
    serve_handshake(*link, id, script);
    EXPECT_TRUE(link->closed_by_miner());
  });
  DebugLog debug;
  FakeClock clock;
  LogCapture log;
  {
    auto conn = make_test_connection(pool_test_config(pool.port()), clock);
    connect_and_handshake(*conn);
    ASSERT_EQ(conn->job.job_id, job_id);
    const MiningJob job = conn->job;
    report_share_reply(submit_share(*conn, "cA==", job), job.job_id);
    report_share_reply(submit_share(*conn, "cA==", job), job.job_id);
    report_share_reply(ok_reply(9), job.job_id);
  }
  pool.join();
  log.finish();
  const std::string text = log.out + log.err;
  std::vector<LogfmtLine> lines = logfmt_lines_with(text, "");
  for (const LogfmtLine& line : lines) {
    EXPECT_EQ(line.error, "") << text;
    EXPECT_NE(line.value("component"), "<repeated>") << text;
  }
  struct Expected {
    const char* event;
    const char* reason;  // the reason= value the line must carry, or nullptr
    std::vector<std::string> keys;
    std::vector<std::pair<std::string, std::string>> values;
  };
  const std::string lost_error = "stratum connection closed by peer phase=submit." + job_id + ".wait_response";
  const Expected expected[] = {
      {"job", nullptr,
       {"level", "ver", "gpu", "component", "job", "id", "generation", "clean", "share_nbits", "difficulty"},
       {{"id", job_id}}},
      {"submit_error", nullptr, {"level", "ver", "gpu", "component", "submit_error", "job", "error", "action"},
       {{"job", job_id}, {"error", "Stratum error response: " + error_reply}, {"action", "drop_share_keep_conn"}}},
      {"dropped", "rejected", {"level", "ver", "gpu", "component", "dropped", "reason", "job"}, {{"job", job_id}}},
      {"connection_lost", nullptr,
       {"level", "ver", "gpu", "component", "connection_lost", "phase", "job", "error", "action"},
       {{"job", job_id}, {"action", "reconnect_drop_ambiguous_share"}}},
      {"submitted", nullptr, {"level", "ver", "gpu", "component", "submitted", "job"}, {{"job", job_id}}},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.event);
    size_t seen = 0;
    for (const LogfmtLine& line : lines) {
      if (line.event() != e.event || (e.reason != nullptr && line.value("reason") != e.reason)) continue;
      ++seen;
      EXPECT_EQ(line.keys(), e.keys) << text;
      for (const auto& [key, value] : e.values) EXPECT_EQ(line.value(key), value);
      if (line.event() == "connection_lost") {
        EXPECT_EQ(line.value("error").rfind(lost_error, 0), 0u) << line.value("error");
      }
    }
    EXPECT_GT(seen, 0u) << text;
  }
}

}  // namespace
