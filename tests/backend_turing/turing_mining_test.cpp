// Mining through the "turing_sm75" row on the host device: the jackpot dump
// against the verified dp2a row's, and the split path against the fused one.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mining_attempt.h"
#include "turing_fixture.h"

namespace {

class TuringMiningTest : public TuringDeviceTest, public ::testing::WithParamInterface<int> {};

TEST_P(TuringMiningTest, JackpotDumpEqualsTheDp2aRowsAndReplaysTheTranscript) {
  const AttemptShape s{128, 128, 256, GetParam()};
  const int steps = s.k / s.rank;
  const size_t records = size_t(128) * steps;
  DeviceArray<VexalHeadlessJackpotDumpEntry> turing_entries(records), dp2a_entries(records);
  DeviceArray<int32_t> turing_values(records * 128), dp2a_values(records * 128);
  DeviceArray<uint32_t> turing_counts(records * 128), dp2a_counts(records * 128);
  MiningAttempt turing(s);
  MiningAttempt dp2a(s);
  ASSERT_EQ(turing.mine_with_dump(turing_row(), all_ones_target(), turing_entries.ptr, turing_values.ptr,
                                  turing_counts.ptr, steps),
            cudaSuccess);
  ASSERT_EQ(dp2a.mine_with_dump(forced_row("cmp170hx-dp2a"), all_ones_target(), dp2a_entries.ptr,
                                dp2a_values.ptr, dp2a_counts.ptr, steps),
            cudaSuccess);
  EXPECT_EQ(turing_values.download(), dp2a_values.download());
  for (uint32_t count : turing_counts.download()) ASSERT_EQ(count, 1u);

  const auto mine = turing_entries.download();
  const auto reference = dp2a_entries.download();
  for (size_t e = 0; e < records; ++e) {
    SCOPED_TRACE(e);
    const int step = int(e % steps);
    // Words 2 to 6 are the replay's; 0 and 1 name the block as each grid does.
    EXPECT_EQ(mine[e].k_tile, uint32_t((step + 1) * s.rank / 64 - 1));
    EXPECT_EQ(mine[e].transcript_index, uint32_t(step % 16));
    EXPECT_EQ(mine[e].k_pos, uint32_t((step + 1) * s.rank));
    EXPECT_EQ(mine[e].xored_tile, reference[e].xored_tile);
    EXPECT_EQ(mine[e].transcript_word, reference[e].transcript_word);
  }
  // Thread 0 is the candidate: its last word of each step is the header's.
  const HostSignalHeader& h = turing.header();
  ASSERT_EQ(h.status, 1u);
  for (int step = 0; step < steps; ++step) EXPECT_EQ(mine[step].transcript_word, h.transcript[step % 16]);
}

INSTANTIATE_TEST_SUITE_P(Ranks, TuringMiningTest, ::testing::Values(64, 128),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "rank" + std::to_string(info.param);
                         });

// Slots 1 to 4 as the engine's pipelines use them: the noise applied in place,
// B on a second stream.
class TuringSplitTest : public TuringDeviceTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_STREAMS", GetParam(), 1);
    TuringDeviceTest::SetUp();
  }
  void TearDown() override {
    unsetenv("HOSTGPU_STREAMS");
    TuringDeviceTest::TearDown();
  }
};

TEST_P(TuringSplitTest, InPlaceNoiseThenMiningEqualsTheFusedSlot) {
  const AttemptShape s{256, 256, 256, 64};
  MiningAttempt fused(s);
  ASSERT_EQ(fused.mine(turing_row(), one_in_sixteen_target()), cudaSuccess);

  const GpuBackendDescriptor& row = turing_row();
  const std::vector<uint8_t> seed_a = test_seed(11);  // MiningAttempt's seeds
  const std::vector<uint8_t> seed_b = test_seed(12);
  DeviceArray<int8_t> a(size_t(s.m) * s.k), b(size_t(s.n) * s.k);
  DeviceArray<int8_t> a_left(size_t(s.m) * s.rank), a_right(size_t(s.rank) * s.k);
  DeviceArray<int8_t> b_left(size_t(s.n) * s.rank), b_right(size_t(s.rank) * s.k);
  DeviceArray<int16_t> a_i0(s.k), a_i1(s.k), b_i0(s.k), b_i1(s.k);
  DeviceArray<uint8_t> d_seed_a(seed_a), d_seed_b(seed_b);
  DeviceArray<uint32_t> target(one_in_sixteen_target());
  DeviceArray<HostSignalSync> sync(1);
  HostSignalHeader* header = nullptr;
  ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&header), sizeof(HostSignalHeader), cudaHostAllocDefault),
            cudaSuccess);
  std::memset(header, 0, sizeof(HostSignalHeader));
  cudaStream_t auxiliary = nullptr;
  cudaEvent_t noise_ready = nullptr;
  cudaEvent_t b_ready = nullptr;
  ASSERT_EQ(cudaStreamCreateWithFlags(&auxiliary, cudaStreamNonBlocking), cudaSuccess);
  ASSERT_EQ(cudaEventCreateWithFlags(&noise_ready, cudaEventDisableTiming), cudaSuccess);
  ASSERT_EQ(cudaEventCreateWithFlags(&b_ready, cudaEventDisableTiming), cudaSuccess);

  ASSERT_EQ(row.launch_fill_int8(a.ptr, int64_t(s.m) * s.k, 1000, nullptr), cudaSuccess);
  ASSERT_EQ(row.launch_fill_int8(b.ptr, int64_t(s.n) * s.k, 1001, nullptr), cudaSuccess);
  ASSERT_EQ(row.launch_generate_noise(s.rank, s.m, s.n, s.k, a_left.ptr, a_right.ptr, b_right.ptr, b_left.ptr,
                                      d_seed_a.ptr, d_seed_b.ptr, nullptr),
            cudaSuccess);
  ASSERT_EQ(cudaEventRecord(noise_ready, nullptr), cudaSuccess);
  ASSERT_EQ(cudaStreamWaitEvent(auxiliary, noise_ready, 0), cudaSuccess);
  ASSERT_EQ(row.launch_apply_sparse_noise(b.ptr, b_left.ptr, b_right.ptr, b.ptr, b_i0.ptr, b_i1.ptr, s.n, s.k,
                                          s.rank, auxiliary),
            cudaSuccess);
  ASSERT_EQ(cudaEventRecord(b_ready, auxiliary), cudaSuccess);
  ASSERT_EQ(row.launch_apply_sparse_noise(a.ptr, a_left.ptr, a_right.ptr, a.ptr, a_i0.ptr, a_i1.ptr, s.m, s.k,
                                          s.rank, nullptr),
            cudaSuccess);
  ASSERT_EQ(cudaStreamWaitEvent(nullptr, b_ready, 0), cudaSuccess);
  ASSERT_EQ(row.launch_headless_mine(a.ptr, b.ptr, s.m, s.n, s.k, header, sync.ptr, target.ptr,
                                     reinterpret_cast<const uint32_t*>(d_seed_a.ptr), s.rank, nullptr, nullptr),
            cudaSuccess);
  ASSERT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess);

  EXPECT_EQ(a.download(), fused.cpu_noised_a());
  EXPECT_EQ(b.download(), fused.cpu_noised_b());
  EXPECT_EQ(fused.header().status, 1u);
  EXPECT_EQ(0, std::memcmp(header, &fused.header(), sizeof(HostSignalHeader)));
  cudaEventDestroy(b_ready);
  cudaEventDestroy(noise_ready);
  cudaStreamDestroy(auxiliary);
  cudaFreeHost(header);
}

INSTANTIATE_TEST_SUITE_P(StreamModes, TuringSplitTest, ::testing::Values("eager", "deferred"));

}  // namespace
