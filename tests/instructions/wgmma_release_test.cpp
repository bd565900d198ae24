// A stage released to a producer by a few lanes of each consumer warp, the
// pattern of the Hopper mining kernel: legal once every lane of the warp has
// passed wgmma.wait_group (a .sync instruction: no lane resumes before all
// have executed it), even when one lane did something else between its MMA
// and the wait; a release before the wait is caught.
#include <gtest/gtest.h>

#include <cstdint>

#include "core/device_instructions.h"
#include "core/gpu_platform.h"
#include "core/instructions/proxy_fence.h"
#include "fault_fixture.h"

namespace {

using namespace device_instructions;
using fault_fixture::Fixture;

constexpr unsigned kConsumers = 128;  // one warp group
constexpr unsigned kThreads = 256;    // and a producer warp group, of which one thread works
constexpr uint32_t kTileA = 64 * 128;
constexpr uint32_t kTileB = 128 * 128;
constexpr int kRounds = 12;

// Stage value of round r; a product cell is 128 x value^2 (four K steps).
int value_of(int round) { return 1 + round % 3; }

__global__ void release_kernel(bool mended, int* out) {
  __shared__ uint64_t full;
  __shared__ uint64_t empty;
  __shared__ uint64_t signal;
  unsigned char* tiles = korvath_dynamic_shared<unsigned char>();
  const unsigned thread = threadIdx.x;
  const unsigned lane = thread % 32;
  if (thread == 0) {
    mbarrier_init(&full, 1);
    mbarrier_init(&empty, 4 * 8);  // lanes 1-8 of each consumer warp
    mbarrier_init(&signal, 4);     // lane 0 of each consumer warp
  }
  __syncthreads();
  if (thread >= kConsumers) {
    if (thread != kConsumers) return;
    for (int round = 0; round < kRounds; ++round) {
      if (round > 0) mbarrier_wait_parity(&empty, static_cast<uint32_t>((round - 1) & 1));
      for (uint32_t i = 0; i < kTileA + kTileB; ++i) tiles[i] = static_cast<unsigned char>(value_of(round));
      fence_proxy_async_shared();
      mbarrier_arrive(&full);
    }
    mbarrier_wait_parity(&empty, static_cast<uint32_t>((kRounds - 1) & 1));
    return;
  }
  const uint64_t a = gmma_descriptor_k_sw128(shared_address(tiles), 1024);
  const uint64_t b = gmma_descriptor_k_sw128(shared_address(tiles + kTileA), 1024);
  uint32_t sum = 0;
  uint32_t d[64];
  for (int round = 0; round < kRounds; ++round) {
    mbarrier_wait_parity(&full, static_cast<uint32_t>(round & 1));
    for (uint32_t& v : d) v = 0;
    wgmma_fence();
    for (int kb = 0; kb < 4; ++kb) wgmma_m64n128k32_s8(d, a + 2 * kb, b + 2 * kb, true);
    wgmma_commit_group();
    // Lane 0 signals between the MMAs and their wait, as a turn is handed on;
    // other lanes release the stage (as lane r tells block r of a cluster).
    const bool releases = lane >= 1 && lane <= 8;
    if (lane == 0) mbarrier_arrive(&signal);
    if (!mended && releases) mbarrier_arrive(&empty);
    wgmma_wait_group<0>();
    if (mended && releases) mbarrier_arrive(&empty);
    sum += d[0];
  }
  out[thread] = static_cast<int>(sum);
}

TEST(WgmmaReleaseTest, LanesReleaseTheStageOnlyAfterTheWholeWarpRetiredItsMmas) {
  Fixture f;
  f.fault = "stage released before wgmma.wait_group";
  f.body = [](bool mended, int* out) { release_kernel(mended, out); };
  f.expected = [](unsigned) {
    int sum = 0;
    for (int round = 0; round < kRounds; ++round) sum += 128 * value_of(round) * value_of(round);
    return sum;
  };
  f.outputs = kConsumers;
  f.fault_text = "changed between the MMA's issue and the wgmma.wait_group that retired it";
  f.threads = kThreads;
  f.shared_bytes = kTileA + kTileB;
  f.compute_capability = 90;
  fault_fixture::check_table({f});
}

}  // namespace
