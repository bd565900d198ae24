#include "pool/pool_notifications.h"

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/pool_password.h"
#include "pool/line_transport.h"
#include "pool/pool_connection.h"
#include "pool/pool_handshake.h"
#include "pool/pool_operations.h"
#include "pool/share_target.h"
#include "scripted_pool.h"

namespace {

ShareTarget word7(uint32_t value) {
  ShareTarget t{};
  t[7] = value;
  return t;
}

// Polls once the pool's next line has reached the socket.
MiningJob poll_after_line(PoolConnection& conn) {
  EXPECT_TRUE(wait_readable(conn, 3000));
  MiningJob job;
  EXPECT_TRUE(poll_connection(conn, job));
  return job;
}

TEST(JobNotificationsTest, FirstJobCarriesTheScaledCompactTarget) {
  DebugLog debug;
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) { serve_session(p); });
  FakeClock clock;
  LogCapture log;
  MiningJob job;
  {
    auto conn = make_test_connection(pool_test_config(pool.port()), clock);
    connect_and_handshake(*conn);
    job = conn->job;
  }
  pool.join();
  log.finish();
  EXPECT_EQ(job.job_id, "job-1");
  EXPECT_EQ(job.share_nbits, "1d00ffff");
  EXPECT_DOUBLE_EQ(job.difficulty, 1.0);
  EXPECT_EQ(job.target, word7(0x0007fff8));  // ffff x 2^208 x (2 x 64 x 4096)
  EXPECT_EQ(job.header_bytes, (std::vector<uint8_t>{0x00, 0x11, 0x22, 0x33}));
  EXPECT_EQ(job.header_b64, "ABEiMw==");
  EXPECT_TRUE(job.clean);
  EXPECT_EQ(job.m, 256);
  EXPECT_EQ(job.rows_pattern, (std::vector<int32_t>{0, 32}));
  EXPECT_EQ(job.cols_pattern.size(), 64u);
  EXPECT_NE(log.out.find("level=DEBUG ver=1.7.6 gpu=system component=pool job id=job-1 generation=1 clean=true "
                         "share_nbits=1d00ffff difficulty=1.00\n"),
            std::string::npos)
      << log.out;
}

TEST(JobNotificationsTest, PasswordDifficultyAndSetDifficultyRetargetJobs) {
  ScriptedPool pool;
  Config config = pool_test_config(pool.port());
  config.password = password_for_device("x;d=131072,2", 1, 2);
  pool.run([](ScriptedPool& p) {
    int32_t id = 1;
    auto link = p.accept();
    HandshakeScript script;
    script.password = "x;d=2";  // the device's own difficulty goes to the pool
    serve_handshake(*link, id, script);
    link->send_line("{\"id\":null,\"method\":\"mining.set_difficulty\",\"params\":[2]}");
    link->read_line();  // the test's go-ahead
    link->send_line(notify_line("\"job-2\"", "1d00ffff", false));
    link->read_line();
    link->send_line(notify_line("\"job-3\"", "1d00ffff", false, "aa").replace(
        notify_line("\"job-3\"", "1d00ffff", false, "aa").rfind("false"), 5, "\"True\""));
    EXPECT_TRUE(link->closed_by_miner());
  });
  FakeClock clock;
  LogCapture log;
  MiningJob before;
  MiningJob retargeted;
  MiningJob second;
  MiningJob third;
  {
    auto conn = make_test_connection(config, clock);
    connect_and_handshake(*conn);
    before = conn->job;
    retargeted = poll_after_line(*conn);
    send_all(*conn, "next\n", 5);
    second = poll_after_line(*conn);
    send_all(*conn, "next\n", 5);
    third = poll_after_line(*conn);
  }
  pool.join();
  log.finish();
  // Difficulty 2 halves the target: compact 1c7fff80 scaled by 2^19.
  EXPECT_EQ(retargeted.generation, before.generation);
  EXPECT_EQ(retargeted.share_nbits, "1c7fff80");
  EXPECT_DOUBLE_EQ(retargeted.difficulty, 2.0);
  EXPECT_EQ(retargeted.target, word7(0x0003fffc));
  EXPECT_EQ(before.target, word7(0x0007fff8));  // copies handed out keep their target
  // The override holds for later jobs.
  EXPECT_EQ(second.job_id, "job-2");
  EXPECT_EQ(second.generation, before.generation + 1);
  EXPECT_EQ(second.share_nbits, "1c7fff80");
  EXPECT_EQ(second.target, word7(0x0003fffc));
  EXPECT_FALSE(second.clean);
  EXPECT_EQ(third.generation, before.generation + 2);
  EXPECT_FALSE(third.clean);
  EXPECT_NE(log.out.find("component=pool difficulty_set difficulty=2.00 share_nbits=1c7fff80\n"), std::string::npos);
}

TEST(JobNotificationsTest, ChangedProfileClearsTheJobAndScalesByTheNewK) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    serve_session(p, [](PeerLink& link, int32_t&) {
      link.send_line(mining_params_line());  // unchanged: the job stays
      link.read_line();
      link.send_line(mining_params_line(256, 256, 8192));
      link.read_line();
      link.send_line(notify_line("\"job-2\"", "1d00ffff", true));
    });
  });
  FakeClock clock;
  LogCapture log;
  bool kept = false;
  bool after_change = true;
  MiningJob job;
  {
    auto conn = make_test_connection(pool_test_config(pool.port()), clock);
    connect_and_handshake(*conn);
    kept = poll_after_line(*conn).generation == 1;
    send_all(*conn, "next\n", 5);
    EXPECT_TRUE(wait_readable(*conn, 3000));
    after_change = poll_connection(*conn, job);
    send_all(*conn, "next\n", 5);
    job = poll_after_line(*conn);
  }
  pool.join();
  log.finish();
  EXPECT_TRUE(kept);
  EXPECT_FALSE(after_change);
  EXPECT_EQ(job.job_id, "job-2");
  EXPECT_EQ(job.k, 8192);
  EXPECT_EQ(job.target, word7(0x000ffff0));  // factor 2 x 64 x 8192 = 2^20
  EXPECT_NE(log.out.find("mining_params m=256 n=256 k=8192 rank=128 h=2 w=64 profile_changed=true\n"),
            std::string::npos);
  EXPECT_EQ(log.out.find("k=4096 rank=128 h=2 w=64 profile_changed=true"), std::string::npos);
}

}  // namespace
