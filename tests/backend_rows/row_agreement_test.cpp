// Every row with 128 x 128 tiles reports, for the same attempt, the header the
// already verified dp2a row reports, and its winner replays on the CPU.
#include <cstring>
#include <string>
#include <vector>

#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

// The one-in-sixteen target makes the election pick a thread past the first.
enum class Target { all_ones, one_in_sixteen, zero };

std::vector<uint32_t> target_words(Target target) {
  switch (target) {
    case Target::all_ones: return all_ones_target();
    case Target::one_in_sixteen: return one_in_sixteen_target();
    case Target::zero: break;
  }
  return zero_target();
}

struct AgreementCase {
  const char* what;
  const char* force;
  const char* device;
  AttemptShape shape;
  Target target;
};

using RowAgreementTest = RowDeviceTest<AgreementCase>;

TEST_P(RowAgreementTest, HeaderEqualsTheDp2aRowsAndTheWinnerReplaysOnTheCpu) {
  const AgreementCase& c = GetParam();
  const std::vector<uint32_t> target = target_words(c.target);
  MiningAttempt mined(c.shape);
  MiningAttempt dp2a(c.shape);
  ASSERT_EQ(mined.mine(forced_row(c.force), target), cudaSuccess);
  ASSERT_EQ(dp2a.mine(forced_row("cmp170hx-dp2a"), target), cudaSuccess);
  EXPECT_EQ(mined.device_noised_a(), mined.cpu_noised_a());
  EXPECT_EQ(mined.device_noised_b(), mined.cpu_noised_b());
  EXPECT_EQ(0, std::memcmp(&mined.header(), &dp2a.header(), sizeof(HostSignalHeader)));
  if (c.target == Target::zero) {
    EXPECT_EQ(mined.header().status, 0u);
    return;
  }
  const HostSignalHeader& h = mined.header();
  ASSERT_EQ(h.status, 1u);
  const ThreadTranscript cpu = cpu_thread_transcript(mined, h.tile_m_index, h.tile_n_index, h.candidate_thread);
  EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words)));
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
}

constexpr Target kAllOnes = Target::all_ones;
constexpr Target kOneIn16 = Target::one_in_sixteen;
constexpr Target kZero = Target::zero;

INSTANTIATE_TEST_SUITE_P(
    Rows, RowAgreementTest,
    ::testing::Values(
        AgreementCase{"scalar_all_ones", "cmp170hx-scalar", kCmp170hxDevice, {256, 384, 256, 64}, kAllOnes},
        AgreementCase{"scalar_one_in_16", "cmp170hx-scalar", kCmp170hxDevice, {256, 384, 256, 64}, kOneIn16},
        AgreementCase{"scalar_zero", "cmp170hx-scalar", kCmp170hxDevice, {256, 384, 256, 64}, kZero},
        AgreementCase{"volta_all_ones", "volta", kCmp170hxDevice, {256, 256, 256, 64}, kAllOnes},
        AgreementCase{"volta_one_in_16", "volta", kCmp170hxDevice, {256, 256, 256, 64}, kOneIn16},
        AgreementCase{"volta_zero", "volta", kCmp170hxDevice, {256, 256, 256, 64}, kZero},
        AgreementCase{"turing_rank64_all_ones", "turing", kTuringDevice, {256, 384, 256, 64}, kAllOnes},
        AgreementCase{"turing_rank64_one_in_16", "turing", kTuringDevice, {256, 384, 256, 64}, kOneIn16},
        AgreementCase{"turing_rank128_all_ones", "turing", kTuringDevice, {256, 384, 256, 128}, kAllOnes},
        AgreementCase{"turing_rank128_one_in_16", "turing", kTuringDevice, {256, 384, 256, 128}, kOneIn16},
        AgreementCase{"ampere_all_ones", "ampere", kAmpereDevice, {256, 384, 256, 64}, kAllOnes},
        AgreementCase{"ampere_one_in_16", "ampere", kAmpereDevice, {256, 384, 256, 64}, kOneIn16},
        AgreementCase{"ampere_m384_rank128", "ampere", kAmpereDevice, {384, 256, 256, 128}, kOneIn16},
        AgreementCase{"cmp170hx_all_ones", "cmp170hx", kCmp170hxDevice, {256, 384, 256, 128}, kAllOnes},
        AgreementCase{"cmp170hx_one_in_16", "cmp170hx", kCmp170hxDevice, {256, 384, 256, 128}, kOneIn16},
        AgreementCase{"cmp170hx_m384_k384", "cmp170hx", kCmp170hxDevice, {384, 256, 384, 128}, kOneIn16}),
    [](const ::testing::TestParamInfo<AgreementCase>& info) { return std::string(info.param.what); });

}  // namespace
