#include "pool/pool_operations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <mutex>
#include <stdexcept>

#include "pool/line_transport.h"
#include "pool/pool_connection.h"
#include "pool/pool_handshake.h"
#include "pool/share_reply.h"
#include "scripted_pool.h"

namespace {

std::string submit_line(int32_t id, const std::string& job_id_json, const std::string& proof) {
  return "{\"id\":" + std::to_string(id) + ",\"method\":\"mining.submit\",\"params\":[\"vex1miner.rig0\"," +
         job_id_json + ",\"" + proof + "\"]}";
}

TEST(PollConnectionTest, PollReturnsTheHeldJobAndSkipsABusyConnection) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) { serve_session(p); });
  FakeClock clock;
  LogCapture log;
  auto conn = make_test_connection(pool_test_config(pool.port()), clock);
  connect_and_handshake(*conn);
  MiningJob job;
  EXPECT_TRUE(poll_connection(*conn, job));
  EXPECT_EQ(job.generation, 1u);
  EXPECT_EQ(conn->phase, "idle");

  MiningJob untouched;
  untouched.job_id = "mine";
  bool polled = true;
  {
    std::lock_guard<std::mutex> busy(conn->mutex);
    polled = std::async(std::launch::async, [&] { return poll_connection(*conn, untouched); }).get();
  }
  EXPECT_FALSE(polled);
  EXPECT_EQ(untouched.job_id, "mine");
  conn.reset();
  pool.join();
}

TEST(PollConnectionTest, PeerCloseDuringAPollReconnectsWithIdsCounting) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    int32_t id = 1;
    {
      auto link = p.accept();
      serve_handshake(*link, id);
    }
    auto link = p.accept();
    EXPECT_EQ(id, 4);
    serve_handshake(*link, id, offering("\"job-2\""));
    EXPECT_TRUE(link->closed_by_miner());
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
    EXPECT_EQ(conn->next_request_id, 7);
  }
  pool.join();
  log.finish();
  EXPECT_TRUE(polled);
  EXPECT_EQ(job.generation, 2u);
  EXPECT_EQ(job.job_id, "job-2");
  EXPECT_TRUE(clock.sleeps().empty());  // a reconnection that succeeds at once does not sleep
  EXPECT_NE(log.err.find("component=pool connection_lost phase=poll error=\"stratum connection closed by peer "
                         "phase=poll endpoint="),
            std::string::npos)
      << log.err;
}

TEST(WaitForJobTest, ThirtySecondsOfLinesWithoutAJobEndTheWait) {
  std::atomic<bool> done{false};
  ScriptedPool pool;
  pool.run([&done](ScriptedPool& p) {
    int32_t id = 1;
    auto link = p.accept();
    serve_handshake(*link, id);
    link->read_line();  // the test's go-ahead
    link->send_line(mining_params_line(256, 256, 8192));  // clears the job
    // Lines keep coming, but never a job.
    for (int i = 0; i < 250 && !done; ++i) {
      link->send_line("{\"id\":null,\"method\":\"mining.set_difficulty\",\"params\":[4]}");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(done);
  });
  FakeClock clock;
  LogCapture log;
  std::string error;
  auto conn = make_test_connection(pool_test_config(pool.port()), clock);
  connect_and_handshake(*conn);
  MiningJob first = wait_for_job(*conn);  // held: returns at once
  EXPECT_EQ(first.generation, 1u);
  clock.advance_per_read_ns = 10'000'000'000;
  send_all(*conn, "go\n", 3);
  EXPECT_TRUE(wait_readable(*conn, 3000));
  try {
    wait_for_job(*conn);
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  done = true;
  EXPECT_EQ(error, "timed out waiting for Stratum job");
  EXPECT_TRUE(conn->mutex.try_lock());  // released on the way out
  conn->mutex.unlock();
  conn.reset();
  pool.join();
}

TEST(WaitForJobTest, WaitReturnsTheJobThatArrives) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    int32_t id = 1;
    auto link = p.accept();
    serve_handshake(*link, id);
    link->send_line(mining_params_line(256, 256, 8192));
    link->read_line();
    link->send_line("{\"id\":null,\"method\":\"mining.set_difficulty\",\"params\":[4]}");
    link->send_line(notify_line("\"job-2\"", "1d00ffff", true));
    EXPECT_TRUE(link->closed_by_miner());
  });
  FakeClock clock;
  LogCapture log;
  auto conn = make_test_connection(pool_test_config(pool.port()), clock);
  connect_and_handshake(*conn);
  EXPECT_TRUE(wait_readable(*conn, 3000));
  MiningJob none;
  EXPECT_FALSE(poll_connection(*conn, none));
  send_all(*conn, "go\n", 3);
  const MiningJob job = wait_for_job(*conn);
  EXPECT_EQ(job.job_id, "job-2");
  EXPECT_EQ(job.k, 8192);
  EXPECT_EQ(job.share_nbits, conn->share_nbits_override);
  conn.reset();
  pool.join();
}

// The pool's answer to a share, and what the miner makes of it.
struct SubmitCase {
  const char* name;
  const char* pool_reply;  // nullptr: the pool closes instead of answering
  std::string returned;
  bool accepted;
  const char* warn;        // expected in the pool's WARN lines, or empty
};

TEST(SubmitShareTest, RepliesAcceptedRejectedAndLost) {
  const SubmitCase cases[] = {
      {"accepted", R"({"id":4,"result":true,"error":null})", R"({"id":4,"result":true,"error":null})", true, ""},
      {"result false", R"({"id":4,"result":false,"error":null})", R"({"id":4,"result":false,"error":null})", false,
       ""},
      {"error reply", R"({"id":4,"result":null,"error":[23,"low difficulty share"]})",
       R"({"id":4,"result":null,"error":null,"dropped":true,"reason":"rejected"})", false,
       R"(submit_error job="a\"b\\c" error="Stratum error response: {\"id\":4,\"result\":null,\"error\":[23,\"low difficulty share\"]}" action=drop_share_keep_conn)"},
      {"lost", nullptr, R"({"id":4,"result":null,"error":null,"dropped":true,"reason":"stratum_reconnect"})", false,
       R"(connection_lost phase=submit job="a\"b\\c" error="stratum connection closed by peer phase=submit.a\"b\\c.wait_response)"},
  };
  for (const SubmitCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPool pool;
    pool.run([&c](ScriptedPool& p) {
      int32_t id = 1;
      auto link = p.accept();
      serve_handshake(*link, id, offering(R"("a\"b\\c")"));
      // The job id goes back exactly as the pool wrote it.
      link->expect_line(submit_line(id++, R"("a\"b\\c")", "UHJvb2Y="));
      if (c.pool_reply == nullptr) {
        link->close();
        link = p.accept();
        serve_handshake(*link, id);
      } else {
        link->send_line(c.pool_reply);
      }
      link->expect_line("{\"id\":" + std::to_string(id) + ",\"method\":\"mining.configure\",\"params\":[[\"vexal/v1\"],{}]}");
      EXPECT_TRUE(link->closed_by_miner());
    });
    FakeClock clock;
    LogCapture log;
    std::string reply;
    {
      auto conn = make_test_connection(pool_test_config(pool.port()), clock);
      connect_and_handshake(*conn);
      reply = submit_share(*conn, "UHJvb2Y=", conn->job);
      // The next request carries the next id, on whichever connection is open.
      const std::string probe = "{\"id\":" + std::to_string(conn->next_request_id) +
                                ",\"method\":\"mining.configure\",\"params\":[[\"vexal/v1\"],{}]}\n";
      send_all(*conn, probe.data(), probe.size());
    }
    pool.join();
    const bool accepted = report_share_reply(reply, "job");
    log.finish();
    EXPECT_EQ(reply, c.returned);
    EXPECT_EQ(accepted, c.accepted);
    if (*c.warn != '\0') EXPECT_NE(log.err.find(c.warn), std::string::npos) << log.err;
  }
}

// A job id may carry control characters: it goes back to the pool exactly as
// received, and the log shows it escaped on one line.
TEST(SubmitShareTest, AJobIdWithControlCharactersGoesBackWholeAndLogsOnOneLine) {
  const std::string id_json = R"("a\nsubmitted job=b\u001b[31m\r")";
  ScriptedPool pool;
  pool.run([&id_json](ScriptedPool& p) {
    int32_t id = 1;
    auto link = p.accept();
    serve_handshake(*link, id, offering(id_json));
    link->expect_line(submit_line(id, id_json, "UHJvb2Y="));
    link->send_line(ok_reply(id));
    EXPECT_TRUE(link->closed_by_miner());
  });
  FakeClock clock;
  LogCapture log;
  std::string reply;
  std::string job_id;
  {
    auto conn = make_test_connection(pool_test_config(pool.port()), clock);
    connect_and_handshake(*conn);
    job_id = conn->job.job_id;
    reply = submit_share(*conn, "UHJvb2Y=", conn->job);
  }
  pool.join();
  const bool accepted = report_share_reply(reply, job_id);
  log.finish();
  EXPECT_EQ(job_id, "a\nsubmitted job=b\x1b[31m\r");
  EXPECT_TRUE(accepted);
  EXPECT_NE(log.out.find("component=share submitted job=\"a\\nsubmitted job=b\\x1b[31m\\r\"\n"), std::string::npos)
      << log.out;
  size_t submitted_lines = 0;
  for (size_t at = log.out.find("submitted job="); at != std::string::npos; at = log.out.find("submitted job=", at + 1)) {
    if (log.out.rfind("component=share ", at) == at - 16) ++submitted_lines;
  }
  EXPECT_EQ(submitted_lines, 1u);
  EXPECT_EQ(log.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(log.out.find('\r'), std::string::npos);
}

}  // namespace
