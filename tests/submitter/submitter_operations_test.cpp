// The mining thread's operations on a submitter whose work never reaches the
// pool: obsolete hand-overs, stored worker failures, stopping.
#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <string>

#include "core/gpu_platform.h"
#include "proof/async_submitter.h"
#include "scripted_pool.h"
#include "submitter_fixture.h"

namespace {

using SubmitterOperationsTest = HostDeviceTest;

std::string raised_text(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing raised)";
}

TEST_F(SubmitterOperationsTest, ObsoleteHandOverStaysWithTheCallerAndFreesTheNextProof) {
  LogCapture log;
  AsyncEncodedPlainProofSubmitter submitter(nullptr, 0, "gpu0", nullptr);
  submitter.set_active_job(job_of("new", 2));
  submitter.wait_for_submitter_capacity();
  ProofTask task = make_task(job_of("old", 1));
  submitter.enqueue(std::move(task));
  EXPECT_NE(task.compact_proof, nullptr);  // not taken
  EXPECT_NE(task.event.event, nullptr);
  EXPECT_FALSE(read_locked<bool>(submitter, [](const auto& s) { return s.busy; }));
  // The busy mark is free again: the next proof starts at once.
  submitter.wait_for_submitter_capacity();
  EXPECT_TRUE(read_locked<bool>(submitter, [](const auto& s) { return s.proof_queue.empty(); }));
  submitter.stop();
  log.finish();
  EXPECT_NE(log.out.find("component=share dropped reason=obsolete_job stage=enqueue job=old generation=1 "
                         "active_generation=2"),
            std::string::npos)
      << log.out;
}

TEST_F(SubmitterOperationsTest, JobChangeWithNothingQueuedLogsNothing) {
  LogCapture log;
  AsyncEncodedPlainProofSubmitter submitter(nullptr, 0, "gpu0", nullptr);
  submitter.set_active_job(job_of("b", 5));
  submitter.set_active_job(job_of("a", 3));  // recorded even when not newer
  EXPECT_EQ(read_locked<uint64_t>(submitter, [](const auto& s) { return s.active_generation; }), 3u);
  submitter.wait_until_idle();
  submitter.stop();
  log.finish();
  EXPECT_EQ(log.out.find("dropped"), std::string::npos) << log.out;
}

struct WorkerFailureCase {
  const char* name;
  bool missing_buffer;
  const char* stored;
};

TEST_F(SubmitterOperationsTest, ProofWorkerFailureIsStoredAndRaisedByEveryMiningThreadCall) {
  const WorkerFailureCase cases[] = {
      {"missing host buffer", true, "async encoded proof proof worker failed: async proof missing host buffer"},
      {"failed event wait", false,
       "async encoded proof proof worker failed: async GPU proof synchronize: invalid resource handle"},
  };
  for (const WorkerFailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    AsyncEncodedPlainProofSubmitter submitter(nullptr, 0, "gpu0", nullptr);
    submitter.wait_for_submitter_capacity();
    ProofTask task = make_task(job_of("j", 1));
    if (c.missing_buffer) {
      task.compact_proof.reset();
    } else {
      cudaEventDestroy(task.event.event);  // the worker waits on a dead handle
    }
    submitter.enqueue(std::move(task));
    ASSERT_TRUE(eventually([&] {
      return read_locked<bool>(submitter, [](const auto& s) { return !s.first_error.empty(); });
    }));
    EXPECT_FALSE(read_locked<bool>(submitter, [](const auto& s) { return s.busy; }));
    EXPECT_EQ(read_locked<uint64_t>(submitter, [](const auto& s) { return s.proofs_in_flight; }), 0u);
    EXPECT_EQ(raised_text([&] { submitter.wait_for_submitter_capacity(); }), c.stored);
    EXPECT_EQ(raised_text([&] { submitter.enqueue(make_task(job_of("j", 1))); }), c.stored);
    EXPECT_EQ(raised_text([&] { submitter.set_active_job(job_of("j", 2)); }), c.stored);
    EXPECT_EQ(raised_text([&] { submitter.wait_until_idle(); }), c.stored);
    submitter.stop();  // raises nothing itself
    EXPECT_EQ(raised_text([&] { submitter.rethrow_worker_error(); }), c.stored);
    cudaGetLastError();
  }
}

TEST_F(SubmitterOperationsTest, FirstFailureWinsAndStopsEverything) {
  AsyncEncodedPlainProofSubmitter submitter(nullptr, 0, "gpu0", nullptr);
  submitter.on_worker_failure("submit", "pool gone", false, false, true);
  submitter.on_worker_failure("proof", "later", true, true, false);
  std::lock_guard<std::mutex> lock(submitter.mutex);
  EXPECT_EQ(submitter.first_error, "async encoded proof submit worker failed: pool gone");
  EXPECT_TRUE(submitter.stopped && submitter.proof_stop && submitter.submit_stop);
}

TEST_F(SubmitterOperationsTest, StoppedSubmitterRefusesWorkAndStopsOnceQuietly) {
  LogCapture log;
  {
    AsyncEncodedPlainProofSubmitter submitter(nullptr, 0, "gpu0", nullptr);
    submitter.stop();
    const std::string stopped = "encoded proof submitter has stopped";
    EXPECT_EQ(raised_text([&] { submitter.wait_for_submitter_capacity(); }), stopped);
    EXPECT_EQ(raised_text([&] { submitter.enqueue(make_task(job_of("j", 1))); }), stopped);
    EXPECT_EQ(raised_text([&] { submitter.wait_until_idle(); }), stopped);
    submitter.rethrow_worker_error();  // nothing stored
    submitter.stop();
  }  // destruction after stop neither blocks nor logs
  log.finish();
  EXPECT_EQ(log.out + log.err, "");
}

TEST_F(SubmitterOperationsTest, WaitingMiningThreadSeesAFailureInsteadOfWaitingForever) {
  AsyncEncodedPlainProofSubmitter submitter(nullptr, 0, "gpu0", nullptr);
  submitter.wait_for_submitter_capacity();  // holds busy; nothing will clear it
  auto waiter = std::async(std::launch::async, [&] {
    return raised_text([&] { submitter.wait_for_submitter_capacity(); });
  });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  submitter.on_worker_failure("proof", "boom", true, true, false);
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), "async encoded proof proof worker failed: boom");
}

}  // namespace
