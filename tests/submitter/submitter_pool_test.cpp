// Proofs flowing through both workers to a scripted pool: replies, stopping,
// stale shares, the bound on waiting shares, and a failing submit worker.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "pool/line_transport.h"
#include "pool/pool_connection.h"
#include "pool/pool_handshake.h"
#include "proof/async_submitter.h"
#include "scripted_pool.h"
#include "submitter_fixture.h"

namespace {

std::string submit_line(int32_t id) {
  return "{\"id\":" + std::to_string(id) +
         ",\"method\":\"mining.submit\",\"params\":[\"vex1miner.rig0\",\"job-1\",\"" + kProofB64 + "\"]}";
}

// Answers `count` shares of job-1 with an accepted reply each.
void accept_shares(PeerLink& link, int32_t& id, int count) {
  for (int i = 0; i < count; ++i, ++id) {
    link.expect_line(submit_line(id));
    link.send_line(ok_reply(id));
  }
}

class SubmitterPoolTest : public HostDeviceTest {
 protected:
  // Connects to the pool (which must serve the handshake) and builds the submitter.
  void connect(ScriptedPool& pool) {
    connection = make_test_connection(pool_test_config(pool.port()), clock);
    connect_and_handshake(*connection);
    job = connection->job;
    submitter = std::make_unique<AsyncEncodedPlainProofSubmitter>(
        connection.get(), 0, "gpu2", [this](const MiningJob& accepted) {
          if (accepted.job_id == "job-1") ++recorded;
          if (record_failure) throw std::runtime_error("meter broke");
        });
  }
  void hand_over(const MiningJob& of_job) {
    submitter->wait_for_submitter_capacity();
    submitter->enqueue(make_task(of_job));
  }
  // The submitter goes before the connection it uses.
  void finish(ScriptedPool& pool) {
    submitter.reset();
    connection.reset();
    pool.join();
  }
  // Lets both workers empty their queues, stops them and raises a worker's
  // failure before finishing.
  void drain_and_finish(ScriptedPool& pool) {
    submitter->wait_until_idle();
    submitter->stop();
    submitter->rethrow_worker_error();
    finish(pool);
  }

  FakeClock clock;
  std::unique_ptr<PoolConnection> connection;
  std::unique_ptr<AsyncEncodedPlainProofSubmitter> submitter;
  MiningJob job;
  std::atomic<int> recorded{0};
  bool record_failure = false;
};

TEST_F(SubmitterPoolTest, OnlyAcceptedSharesCountAsWork) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    int32_t id = 1;
    auto link = p.accept();
    serve_handshake(*link, id);
    accept_shares(*link, id, 1);
    link->expect_line(submit_line(id));
    link->send_line("{\"id\":" + std::to_string(id++) + ",\"result\":false,\"error\":null}");
    link->expect_line(submit_line(id));
    link->send_line("{\"id\":" + std::to_string(id++) + ",\"result\":null,\"error\":[23,\"low difficulty share\"]}");
    link->expect_line(submit_line(id++));
    link->close();  // the last share is lost with the connection
    link = p.accept();
    serve_handshake(*link, id);
    EXPECT_TRUE(link->closed_by_miner());
  });
  LogCapture log;
  connect(pool);
  for (int i = 0; i < 4; ++i) hand_over(job);
  drain_and_finish(pool);
  log.finish();
  EXPECT_EQ(recorded, 1);
  EXPECT_EQ(count_of(log.out, "gpu=gpu2 component=share submitted job=job-1"), 1u) << log.out;
  EXPECT_EQ(count_of(log.out, "gpu=gpu2 component=proof plainproof backend=gpu raw_bytes=5 b64_chars=8"), 4u);
  EXPECT_NE(log.err.find("component=share dropped reason=rejected job=job-1 response="), std::string::npos);
  EXPECT_NE(log.err.find("component=share dropped reason=rejected job=job-1\n"), std::string::npos) << log.err;
  EXPECT_NE(log.err.find("component=share dropped reason=stratum_reconnect\n"), std::string::npos) << log.err;
  // Polls that return the active job drop nothing and say nothing.
  EXPECT_EQ(log.out.find("reason=obsolete_job"), std::string::npos);
}

TEST_F(SubmitterPoolTest, StopFinishesEveryQueuedProofAndShare) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    serve_session(p, [](PeerLink& link, int32_t& id) { accept_shares(link, id, 3); });
  });
  LogCapture log;
  connect(pool);
  {
    std::lock_guard<std::mutex> lock(submitter->mutex);
    for (int i = 0; i < 3; ++i) submitter->proof_queue.push_back(make_task(job));
  }
  submitter->stop();
  EXPECT_EQ(recorded, 3);
  submitter->rethrow_worker_error();
  finish(pool);
}

// Replaces job-1; the miner is then to close without a mining.submit.
void send_job_2(PeerLink& link, std::promise<void>& sent) {
  link.send_line(notify_line("\"job-2\"", "1d00ffff", true));
  sent.set_value();
}

const char kDroppedAtSubmit[] =
    "gpu=gpu2 component=share dropped reason=obsolete_job stage=submit job=job-1 generation=1 active_generation=2";

TEST_F(SubmitterPoolTest, ShareOfAJobReplacedMeanwhileIsNotSent) {
  std::promise<void> go;
  std::promise<void> sent;
  ScriptedPool pool;
  pool.run([&](ScriptedPool& p) {
    serve_session(p, [&](PeerLink& link, int32_t&) {
      go.get_future().wait();
      send_job_2(link, sent);
    });
  });
  LogCapture log;
  connect(pool);
  submitter->set_active_job(job);
  go.set_value();
  sent.get_future().wait();
  hand_over(job);  // only the submit worker's own poll sees job-2
  drain_and_finish(pool);
  log.finish();
  EXPECT_EQ(recorded, 0);
  EXPECT_NE(log.out.find(kDroppedAtSubmit), std::string::npos) << log.out;
}

// The replacement job waits on the socket while the mining thread holds the
// connection, so the submit worker's own poll gets nothing: the lines are
// read again under the connection's lock just before the share would go out,
// and the share is dropped at the submit stage instead of being sent.
TEST_F(SubmitterPoolTest, ShareIsNotSentWhenItsJobWasReplacedWhileTheConnectionWasBusy) {
  std::promise<void> sent;
  ScriptedPool pool;
  pool.run([&](ScriptedPool& p) { serve_session(p, [&](PeerLink& link, int32_t&) { send_job_2(link, sent); }); });
  LogCapture log;
  connect(pool);
  submitter->set_active_job(job);
  {
    std::unique_lock<std::mutex> busy(connection->mutex);  // as the mining thread's poll would
    sent.get_future().wait();
    ASSERT_TRUE(wait_readable(*connection, 3000));
    hand_over(job);
    ASSERT_TRUE(eventually([&] {
      return read_locked<uint64_t>(*submitter, [](const auto& s) { return s.submits_in_flight; }) == 1;
    }));
  }
  drain_and_finish(pool);
  log.finish();
  EXPECT_EQ(recorded, 0);
  EXPECT_NE(log.out.find(kDroppedAtSubmit), std::string::npos) << log.out;
}

TEST_F(SubmitterPoolTest, MiningThreadWaitsWhileMoreThan255SharesWait) {
  constexpr int kShares = 258;
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    serve_session(p, [](PeerLink& link, int32_t& id) { accept_shares(link, id, kShares); });
  });
  LogCapture log;
  connect(pool);
  {
    // The submit worker stalls in its first mining.submit while the test
    // holds the connection.
    std::unique_lock<std::mutex> stall(connection->mutex);
    for (int i = 0; i < kShares - 1; ++i) hand_over(job);
    ASSERT_TRUE(eventually([&] {
      return read_locked<size_t>(*submitter, [](const auto& s) { return s.submit_queue.size(); }) == 256;
    }));
    auto waiter = std::async(std::launch::async, [&] { submitter->wait_for_submitter_capacity(); });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    stall.unlock();
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    waiter.get();
  }
  submitter->enqueue(make_task(job));
  submitter->wait_until_idle();
  submitter->stop();
  EXPECT_EQ(recorded, kShares);
  finish(pool);
}

TEST_F(SubmitterPoolTest, SubmitWorkerFailureIsRaisedOnTheMiningThread) {
  ScriptedPool pool;
  pool.run([](ScriptedPool& p) {
    serve_session(p, [](PeerLink& link, int32_t& id) { accept_shares(link, id, 1); });
  });
  LogCapture log;
  record_failure = true;
  connect(pool);
  hand_over(job);
  ASSERT_TRUE(eventually([&] {
    return read_locked<bool>(*submitter, [](const auto& s) { return !s.first_error.empty(); });
  }));
  EXPECT_EQ(read_locked<uint64_t>(*submitter, [](const auto& s) { return s.submits_in_flight; }), 0u);
  try {
    submitter->wait_for_submitter_capacity();
    ADD_FAILURE() << "nothing raised";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "async encoded proof submit worker failed: meter broke");
  }
  finish(pool);
}

}  // namespace
