#include "pool/pool_challenge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "core/codecs.h"
#include "pool/line_transport.h"
#include "pool/pool_connection.h"
#include "pool/pool_handshake.h"
#include "pool/pool_operations.h"
#include "scripted_pool.h"

namespace {

const std::string kSeedUpper = "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";

std::string challenge_line(const std::string& seed, const std::string& difficulty) {
  return "{\"id\":null,\"method\":\"vexal.challenge\",\"params\":{\"seed\":\"" + seed +
         "\",\"difficulty\":" + difficulty + "}}";
}

// Reads the miner's answer, checks it with BLAKE3 and returns its request id.
int32_t expect_valid_answer(PeerLink& link, const std::string& seed, uint32_t difficulty) {
  const std::string line = link.read_line();
  const std::string head = "{\"id\":";
  const std::string middle = ",\"method\":\"vexal.challenge_response\",\"params\":{\"seed\":\"" + seed + "\",\"nonce\":\"";
  EXPECT_EQ(line.rfind(head, 0), 0u) << line;
  const size_t id_end = line.find(',');
  const int32_t id = std::atoi(line.substr(head.size(), id_end - head.size()).c_str());
  EXPECT_EQ(line.compare(id_end, middle.size(), middle), 0) << line;
  const std::string nonce_text = line.substr(id_end + middle.size(), 16);
  EXPECT_EQ(line.substr(id_end + middle.size() + 16), "\"}}");
  const uint64_t nonce = std::strtoull(nonce_text.c_str(), nullptr, 16);
  EXPECT_TRUE(challenge_answer_ok(hex_decode(seed).data(), nonce, difficulty)) << nonce_text;
  return id;
}

TEST(ChallengeTest, ChallengeBeforeConfigureIsAnsweredFirst) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    auto link = p.accept();
    link->send_line(challenge_line(kSeedUpper, "8"));
    const int32_t answer_id = expect_valid_answer(*link, kSeedUpper, 8);
    EXPECT_EQ(answer_id, 1);
    link->send_line(ok_reply(answer_id));
    // The rest of the handshake, without the greeting.
    link->expect_line("{\"id\":2,\"method\":\"mining.configure\",\"params\":[[\"vexal/v1\"],{}]}");
    link->send_line(ok_reply(2, "{\"vexal/v1\":true}"));
    link->read_line();
    link->send_line(ok_reply(3));
    link->read_line();
    link->send_line(ok_reply(4));
    link->send_line(mining_params_line());
    link->send_line(notify_line("\"job-1\"", "1d00ffff", true));
    EXPECT_TRUE(link->closed_by_miner());
  });
  FakeClock clock;
  LogCapture log;
  {
    auto conn = make_test_connection(pool_test_config(pool.port()), clock);
    connect_and_handshake(*conn);
    EXPECT_FALSE(conn->has_challenge);
    EXPECT_TRUE(conn->challenge_seed.empty());
    EXPECT_TRUE(conn->has_job);
  }
  pool.join();
  log.finish();
  EXPECT_NE(log.out.find("component=pool challenge_received difficulty=8 seed=00112233\n"), std::string::npos);
  EXPECT_NE(log.out.find("component=pool challenge_solved difficulty=8 nonce="), std::string::npos);
  EXPECT_TRUE(clock.sleeps().empty());
}

TEST(ChallengeTest, ChallengeDuringASubmitIsAnsweredAndTheShareReplyParked) {
  const std::string seed(64, 'a');
  ScriptedPool pool;
  pool.run([&seed](ScriptedPool& p) {
    serve_session(p, [&seed](PeerLink& link, int32_t&) {
      link.expect_line("{\"id\":4,\"method\":\"mining.submit\",\"params\":[\"vex1miner.rig0\",\"job-1\",\"cHJvb2Y=\"]}");
      link.send_line(challenge_line(seed, "6"));
      link.send_line(ok_reply(4));  // the share's reply arrives before the answer's
      const int32_t answer_id = expect_valid_answer(link, seed, 6);
      EXPECT_EQ(answer_id, 5);
      link.send_line(ok_reply(answer_id));
    });
  });
  FakeClock clock;
  LogCapture log;
  std::string reply;
  {
    auto conn = make_test_connection(pool_test_config(pool.port()), clock);
    connect_and_handshake(*conn);
    reply = submit_share(*conn, "cHJvb2Y=", conn->job);
    EXPECT_TRUE(conn->pending_responses.empty());
    EXPECT_EQ(conn->phase, "submit.job-1");
  }
  pool.join();
  log.finish();
  EXPECT_EQ(reply, ok_reply(4));
}

// A challenge the miner cannot take or whose answer the pool refuses ends the
// connection, not the run; inside a submit it never counts as the share's rejection.
TEST(ChallengeTest, FailedChallengesReconnect) {
  const std::string seed(64, 'b');
  struct Case {
    std::string name;
    std::string challenge;
    bool answered;        // the miner sends an answer that the pool refuses
    std::string error;    // in the connection_lost line
  };
  const Case cases[] = {
      {"difficulty above 256", challenge_line(seed, "257"), false, "BLAKE3 challenge difficulty exceeds 256 bits"},
      {"difficulty cut to 32 bits", challenge_line(seed, "4294967301"), false,
       "BLAKE3 challenge difficulty exceeds 256 bits"},
      {"seed of 63 digits", challenge_line(seed.substr(1), "4"), false, "malformed vexal.challenge seed"},
      {"seed not hex", challenge_line("g" + seed.substr(1), "4"), false, "invalid hex data"},
      {"answer refused", challenge_line(seed, "4"), true,
       R"(challenge answer failed: Stratum error response: {\"id\":4,\"result\":null,\"error\":[20,\"bad nonce\"]})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPool pool;
    pool.run([&c](ScriptedPool& p) {
      serve_session_then_reconnect(p, [&c](PeerLink& link, int32_t& id) {
        link.send_line(c.challenge);
        if (c.answered) {
          link.read_line();
          link.send_line("{\"id\":4,\"result\":null,\"error\":[20,\"bad nonce\"]}");
          ++id;
        }
        EXPECT_TRUE(link.closed_by_miner());
        return true;
      });
    });
    FakeClock clock;
    LogCapture log;
    bool polled = false;
    {
      auto conn = make_test_connection(pool_test_config(pool.port()), clock);
      connect_and_handshake(*conn);
      EXPECT_TRUE(wait_readable(*conn, 3000));
      MiningJob job;
      polled = poll_connection(*conn, job);
      EXPECT_FALSE(conn->has_challenge);
    }
    pool.join();
    log.finish();
    EXPECT_TRUE(polled);
    EXPECT_NE(log.err.find("component=pool connection_lost phase=poll error=\"" + c.error), std::string::npos)
        << log.err;
  }
}

TEST(ChallengeTest, RefusedAnswerDuringASubmitDropsTheShareAsLostNotRejected) {
  const std::string seed(64, 'c');
  ScriptedPool pool;
  pool.run([&seed](ScriptedPool& p) {
    serve_session_then_reconnect(p, [&seed](PeerLink& link, int32_t& id) {
      link.read_line();  // the share
      link.send_line(challenge_line(seed, "4"));
      link.read_line();  // the answer
      link.send_line("{\"id\":5,\"result\":null,\"error\":[20,\"bad nonce\"]}");
      EXPECT_TRUE(link.closed_by_miner());
      id = 6;
      return true;
    });
  });
  FakeClock clock;
  LogCapture log;
  const std::string reply = submit_one_share(pool, clock, "cHJvb2Y=");
  pool.join();
  log.finish();
  EXPECT_EQ(reply, "{\"id\":4,\"result\":null,\"error\":null,\"dropped\":true,\"reason\":\"stratum_reconnect\"}");
  EXPECT_EQ(log.err.find("submit_error"), std::string::npos);
  EXPECT_NE(log.err.find("connection_lost phase=submit job=job-1 error=\"challenge answer failed: "),
            std::string::npos);
}

std::string flood_seed(int i) {
  char text[65];
  std::snprintf(text, sizeof(text), "%056d%08x", 0, static_cast<unsigned>(i));
  return text;
}

size_t count_of(const std::string& text, const std::string& word) {
  size_t count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
  return count;
}

// A pool that floods challenges and answers none of them, during a poll or
// during a share's reply wait. Challenges read while an answer's reply is
// awaited are stored, not answered inside that wait, so the stack does not
// grow with the flood; once the pool replies, the newest is answered and
// mining goes on with the next job.
TEST(ChallengeTest, AChallengeFloodNeitherNestsNorStopsMining) {
  constexpr int kFlood = 1000;
  struct Case {
    const char* name;
    bool during_submit;
  };
  const Case cases[] = {{"during a poll", false}, {"during a share's reply wait", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPool pool;
    pool.run([&c](ScriptedPool& p) {
      int32_t id = 1;
      auto link = p.accept();
      serve_handshake(*link, id);
      if (c.during_submit) {
        link->expect_line("{\"id\":4,\"method\":\"mining.submit\",\"params\":[\"vex1miner.rig0\",\"job-1\",\"cHJvb2Y=\"]}");
        ++id;
      }
      link->send_line(challenge_line(flood_seed(0), "1"));
      const int32_t first = expect_valid_answer(*link, flood_seed(0), 1);
      EXPECT_EQ(first, id);
      size_t answered_during_flood = 0;
      for (int i = 1; i <= kFlood; ++i) {
        link->send_line(challenge_line(flood_seed(i), "1"));
        answered_during_flood += link->read_available().size();
      }
      if (answered_during_flood != 0) {
        throw std::runtime_error("miner answered " + std::to_string(answered_during_flood) +
                                 " challenges inside an earlier answer's wait");
      }
      link->send_line(ok_reply(first));
      const int32_t last = expect_valid_answer(*link, flood_seed(kFlood), 1);
      EXPECT_EQ(last, first + 1);
      link->send_line(ok_reply(last));
      if (c.during_submit) link->send_line(ok_reply(4));
      link->send_line(notify_line("\"job-2\"", "1d00ffff", true));
      EXPECT_TRUE(link->closed_by_miner());
    });
    FakeClock clock;
    LogCapture log;
    std::vector<uintptr_t> solver_frames;
    std::string reply;
    MiningJob job;
    {
      auto conn = make_test_connection(pool_test_config(pool.port()), clock);
      conn->solve_challenge = [&solver_frames](const uint8_t* seed, uint32_t difficulty) {
        volatile char probe = 0;
        solver_frames.push_back(reinterpret_cast<uintptr_t>(&probe));
        return cpu_challenge_solver(seed, difficulty);
      };
      connect_and_handshake(*conn);
      if (c.during_submit) reply = submit_share(*conn, "cHJvb2Y=", conn->job);
      for (int i = 0; i < 100 && job.job_id != "job-2"; ++i) {
        wait_readable(*conn, 100);
        poll_connection(*conn, job);
      }
      EXPECT_FALSE(conn->has_challenge);
      EXPECT_FALSE(conn->answering_challenge);
    }
    pool.join();
    log.finish();
    EXPECT_EQ(job.job_id, "job-2");
    if (c.during_submit) EXPECT_EQ(reply, ok_reply(4));
    ASSERT_EQ(solver_frames.size(), 2u);
    const auto [lowest, highest] = std::minmax_element(solver_frames.begin(), solver_frames.end());
    EXPECT_LT(*highest - *lowest, 16u * 1024u) << "the stack grew between answers";
    EXPECT_EQ(count_of(log.out, "challenge_received"), static_cast<size_t>(kFlood + 1));
    EXPECT_EQ(count_of(log.out, "challenge_solved"), 2u);
    EXPECT_EQ(log.err.find("connection_lost"), std::string::npos) << log.err;
    EXPECT_TRUE(clock.sleeps().empty());
  }
}

}  // namespace
