// Warp-group kernels that each break one rule of the PTX ISA that the Hopper
// mining kernel relies on, on a capability 9.0 host device: each is caught
// under the hostile settings and passes once mended.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/device_instructions.h"
#include "core/gpu_platform.h"
#include "core/instructions/proxy_fence.h"
#include "fault_fixture.h"

namespace {

using namespace device_instructions;
using fault_fixture::Fixture;

constexpr unsigned kThreads = 128;
constexpr uint32_t kTileA = 64 * 128;   // A's 64 rows and B's 128, one 128-byte K block of ones each
constexpr uint32_t kTileB = 128 * 128;
constexpr int kProduct = 32;

enum class Rule {
  wait_group,          // accumulators read before the wait_group that retires their MMA
  fence_after_write,   // accumulators cleared, then multiplied into without wgmma.fence
  operands_in_flight,  // the operands rewritten before the wait_group
};

// Two rounds of one K step each, the accumulators cleared between them.
__global__ void group_kernel(Rule rule, bool mended, int* out) {
  const auto broken = [&](Rule r) { return !mended && rule == r; };
  unsigned char* tiles = korvath_dynamic_shared<unsigned char>();
  for (unsigned i = threadIdx.x; i < kTileA + kTileB; i += kThreads) tiles[i] = 1;
  fence_proxy_async_shared();
  __syncthreads();
  const uint64_t a = gmma_descriptor_k_sw128(shared_address(tiles), 1024);
  const uint64_t b = gmma_descriptor_k_sw128(shared_address(tiles + kTileA), 1024);
  uint32_t d[64];
  uint32_t result = 0;  // unsigned: poison added in wraps around
  for (int round = 0; round < 2; ++round) {
    for (uint32_t& v : d) v = 0;
    if (round == 0 || !broken(Rule::fence_after_write)) wgmma_fence();
    wgmma_m64n128k32_s8(d, a, b, true);
    wgmma_commit_group();
    if (broken(Rule::operands_in_flight)) {
      __syncthreads();  // every warp has issued: the stage is refilled
      for (unsigned i = threadIdx.x; i < kTileA + kTileB; i += kThreads) tiles[i] = 2;
      fence_proxy_async_shared();
    }
    if (broken(Rule::wait_group)) result += d[round];
    wgmma_wait_group<0>();
    if (!broken(Rule::wait_group)) result += d[round];
    __syncthreads();  // every warp has retired its MMA before the operands change
  }
  out[threadIdx.x] = static_cast<int>(result);
}

Fixture group_fixture(const char* fault, Rule rule, const char* fault_text) {
  Fixture f;
  f.fault = fault;
  f.body = [rule](bool mended, int* out) { group_kernel(rule, mended, out); };
  f.expected = [](unsigned) { return 2 * kProduct; };
  f.outputs = kThreads;
  f.fault_text = fault_text;
  f.threads = kThreads;
  f.shared_bytes = kTileA + kTileB;
  f.compute_capability = 90;
  return f;
}

TEST(WgmmaFixtureTest, EachBrokenRuleIsCaughtAndEachMendedKernelPasses) {
  fault_fixture::check_table({
      group_fixture("accumulators read before wgmma.wait_group", Rule::wait_group, nullptr),
      group_fixture("accumulators cleared, then an MMA with no wgmma.fence", Rule::fence_after_write,
                    "after a write to its accumulator registers with no wgmma.fence"),
      group_fixture("operands rewritten before wgmma.wait_group", Rule::operands_in_flight,
                    "changed between the MMA's issue and the wgmma.wait_group that retired it"),
  });
}

enum class Handover {
  pool,        // the consumers ask for more than the producer gives back
  warp_group,  // one warp of the producer's warp group gives back alone
};

// The producer warp group (0) hands registers to the two consumer groups, as
// the Hopper kernel does: 384 threads start with 168 registers each.
__global__ void handover_kernel(Handover rule, bool mended, int* out) {
  const unsigned warp = threadIdx.x / 32;
  if (warp < 4) {
    if (mended || rule != Handover::warp_group || warp == 0) setmaxnreg_dec<40>();
  } else if (mended || rule != Handover::pool) {
    setmaxnreg_inc<232>();
  } else {
    setmaxnreg_inc<240>();
  }
  out[threadIdx.x] = 1;
}

Fixture handover_fixture(const char* fault, Handover rule, const char* fault_text) {
  Fixture f;
  f.fault = fault;
  f.body = [rule](bool mended, int* out) { handover_kernel(rule, mended, out); };
  f.expected = [](unsigned) { return 1; };
  f.outputs = 384;
  f.fault_text = fault_text;
  f.threads = 384;
  f.compute_capability = 90;
  return f;
}

// A block compiled with 128 registers per thread has too few to hand over
// 232 to each consumer, whatever the 384 threads' share of the file would be;
// compiled with 168 it has just enough.
TEST(WgmmaFixtureTest, ThePoolHoldsOnlyTheRegistersTheKernelWasCompiledWith) {
  Fixture f = handover_fixture("compiled registers", Handover::pool, nullptr);
  for (const char* seed : {static_cast<const char*>(nullptr), fault_fixture::kSeeds[0], fault_fixture::kSeeds[1],
                           fault_fixture::kSeeds[2]}) {
    f.registers_per_thread = 128;
    const fault_fixture::Outcome short_pool = fault_fixture::run(f, true, seed ? "HOSTGPU_HOSTILE" : nullptr, seed);
    EXPECT_EQ(short_pool.result, cudaErrorLaunchFailure) << (seed ? seed : "ordered");
    EXPECT_NE(short_pool.fault.find("setmaxnreg.inc for registers other warps have not given back"),
              std::string::npos)
        << short_pool.fault;
    f.registers_per_thread = 168;
    const fault_fixture::Outcome enough = fault_fixture::run(f, true, seed ? "HOSTGPU_HOSTILE" : nullptr, seed);
    EXPECT_EQ(enough.result, cudaSuccess) << (seed ? seed : "ordered") << ": " << enough.fault;
  }
}

TEST(WgmmaFixtureTest, SetmaxnregTakesOnlyWhatTheBlockGaveBackAndMovesWholeWarpGroups) {
  fault_fixture::check_table({
      handover_fixture("consumers ask for 240 registers where 232 are given back", Handover::pool,
                       "setmaxnreg.inc for registers other warps have not given back"),
      handover_fixture("one warp of the producer warp group lowers its registers", Handover::warp_group,
                       "setmaxnreg.dec 40 by warp 0: warp 1 of its warp group returned without it"),
  });
}

TEST(WgmmaFixtureTest, LateMmasAloneShowTheEarlyRead) {
  const Fixture f = group_fixture("early read", Rule::wait_group, nullptr);
  const fault_fixture::Outcome late = fault_fixture::run(f, false, "HOSTGPU_LATE_MMA", "1");
  EXPECT_TRUE(late.result == cudaSuccess && !late.right) << late.fault;
  const fault_fixture::Outcome kind = fault_fixture::run(f, false, nullptr, nullptr);
  EXPECT_TRUE(kind.result == cudaSuccess && kind.right) << "the kind device hides it: " << kind.fault;
}

TEST(WgmmaFixtureTest, ADeviceWithoutWarpGroupMmaFaults) {
  struct Case {
    int capability;
    const char* fault_text;  // null: runs
  };
  const Case cases[] = {
      {90, nullptr},
      {100, "wgmma.fence exists only on compute capability 9.0 (the sm_90a image); the device's is 10.0"},
      {120, "wgmma.fence exists only on compute capability 9.0 (the sm_90a image); the device's is 12.0"},
  };
  for (const Case& c : cases) {
    fault_fixture::expect_on_capability(group_fixture("capability", Rule::wait_group, c.fault_text), c.capability);
  }
}

}  // namespace
