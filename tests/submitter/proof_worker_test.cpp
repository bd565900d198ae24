// The proof worker: its "plainproof" line, and proofs whose job goes stale
// while on the GPU, while queued or while encoded.
#include <gtest/gtest.h>

#include <string>

#include "proof/async_submitter.h"
#include "proof/proof_worker.h"
#include "scripted_pool.h"
#include "submitter_fixture.h"

namespace {

using ProofWorkerTest = HostDeviceTest;

TEST(ElapsedSecondsTest, DefaultStreamFormat) {
  const struct {
    int64_t ns;
    const char* text;
  } cases[] = {{12345678, "0.0123457"}, {2000000000, "2"}, {15000, "1.5e-05"}, {0, "0"},
               {1234567000000000, "1.23457e+06"}};
  for (const auto& c : cases) EXPECT_EQ(format_elapsed_seconds(c.ns), c.text) << c.ns;
}

TEST(PlainProofLineTest, FieldsInOrderWithDebugFieldsOnlyWhenChecked) {
  ProofTask task;
  task.compact_proof = std::make_shared<std::vector<uint8_t>>(10, 0);
  task.job_key_hex = std::string(64, 'c');
  task.gpu_a_root.fill(0x01);
  task.gpu_b_root.fill(0x02);
  task.gpu_a_noise_seed.fill(0x03);
  task.gpu_b_noise_seed.fill(0x04);
  task.proof_started = 1'000'000'000;
  task.compact_copy_started = 1'500'000'000;
  const std::string hex = [] {
    std::string words;
    for (int i = 0; i < 64; ++i) words += (i == 0 ? "ff" : (i == 63 ? "0e" : "00"));
    return words;
  }();
  std::string expected = "plainproof backend=gpu raw_bytes=10 b64_chars=16 job_key=" + std::string(64, 'c');
  const char* roots[] = {" gpu_a_root=", " gpu_b_root=", " gpu_a_noise_seed=", " gpu_b_noise_seed="};
  const char* bytes[] = {"01", "02", "03", "04"};
  for (int i = 0; i < 4; ++i) {
    expected += roots[i];
    for (int b = 0; b < 32; ++b) expected += bytes[i];
  }
  expected += " compact_d2h_seconds=1 gpu_proof_seconds=2.5 b64_seconds=1.5e-05";
  EXPECT_EQ(plainproof_line(task, 16, 2'500'000'000, 3'499'985'000, 3'500'000'000), expected);

  task.debug_transcript = true;
  task.kernel_transcript[0] = 0xff;
  task.kernel_transcript[63] = 0x0e;
  task.kernel_transcript_match = "none";
  const std::string zeros32(64, '0');
  const std::string debug = plainproof_line(task, 16, 2'500'000'000, 3'499'985'000, 3'500'000'000);
  EXPECT_EQ(debug, expected + " cpu_replay_kernel_hash=" + zeros32 + " cpu_rank_local_hash=" + zeros32 +
                       " kernel_transcript_hash=" + zeros32 + " kernel_transcript=" + hex +
                       " cpu_transcript=" + std::string(128, '0') + " kernel_transcript_match=none");
}

TEST_F(ProofWorkerTest, EncodedProofOfAReplacedJobIsDiscarded) {
  LogCapture log;
  AsyncEncodedPlainProofSubmitter submitter(nullptr, 0, "gpu0", nullptr);
  submitter.set_active_job(job_of("new", 4));
  const ProofTask stale = make_task(job_of("old", 3));
  EXPECT_FALSE(queue_encoded_proof(submitter, stale, "c3RhbGU="));
  EXPECT_TRUE(read_locked<bool>(submitter, [](const auto& s) { return s.submit_queue.empty(); }));
  submitter.stop();
  log.finish();
  EXPECT_NE(log.out.find("component=share dropped reason=obsolete_job stage=proof_encoded job=old "
                         "generation=3 active_generation=4"),
            std::string::npos)
      << log.out;
}

TEST_F(ProofWorkerTest, JobChangeDropsTheQueuedProofAndTheOneOnTheGpu) {
  use_deferred_streams();
  LogCapture log;
  HeldProof held;
  AsyncEncodedPlainProofSubmitter submitter(nullptr, 0, "gpu7", nullptr);
  submitter.set_active_job(job_of("one", 1));
  // Made first: the stand-in's runtime is busy while the held proof runs.
  // Without an event: it is dropped while the stand-in is held.
  ProofTask next = make_task(job_of("one", 1));
  next.event = CudaEventHolder{};
  submitter.wait_for_submitter_capacity();
  submitter.enqueue(held.task_for(job_of("one", 1)));
  ASSERT_TRUE(held.wait_until_waited_on());
  {
    // As if the next proof had been handed over before the worker came back.
    std::lock_guard<std::mutex> lock(submitter.mutex);
    submitter.proof_queue.push_back(std::move(next));
  }
  submitter.set_active_job(job_of("two", 2));
  EXPECT_TRUE(read_locked<bool>(submitter, [](const auto& s) { return s.proof_queue.empty(); }));
  held.release();
  submitter.wait_until_idle();
  submitter.stop();
  submitter.rethrow_worker_error();
  log.finish();
  EXPECT_NE(log.out.find("component=share dropped reason=obsolete_job active_job=two "
                         "active_generation=2 queued_proofs=1 queued_submits=0"),
            std::string::npos)
      << log.out;
  EXPECT_NE(log.out.find("gpu=gpu7 component=share dropped reason=obsolete_job stage=proof job=one "
                         "generation=1 active_generation=2"),
            std::string::npos)
      << log.out;
  EXPECT_EQ(log.out.find("plainproof"), std::string::npos) << log.out;  // nothing encoded
}

}  // namespace
