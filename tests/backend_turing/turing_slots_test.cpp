// The "turing_sm75" row's slots around the mining kernel: the shape rule and
// grid of the mining launch and its kernel attributes.
#include <cstdlib>
#include <vector>

#include "backends/turing_mining_kernel.h"
#include "turing_fixture.h"

namespace {

using TuringSlotsTest = TuringDeviceTest;

struct ShapeCase {
  const char* what;
  int m, n, k, rank;
  cudaError_t result;
  unsigned blocks;  // of the mining grid when accepted
};

TEST_F(TuringSlotsTest, MiningLaunchFollowsTheShapeRuleAndPadsTheGridToGroupsOfEight) {
  const ShapeCase cases[] = {
      {"one tile", 128, 128, 64, 64, cudaSuccess, 8},
      {"three by two tiles", 384, 256, 128, 128, cudaSuccess, 16},
      {"nine M tiles", 1152, 128, 64, 64, cudaSuccess, 16},
      {"k 4096 rank 128", 128, 128, 4096, 128, cudaSuccess, 8},
      {"k 4032 rank 64", 128, 128, 4032, 64, cudaSuccess, 8},
      {"m 192", 192, 128, 64, 64, cudaErrorInvalidValue, 0},
      {"n 320", 128, 320, 64, 64, cudaErrorInvalidValue, 0},
      {"k 4000", 128, 128, 4000, 64, cudaErrorInvalidValue, 0},
      {"rank 96", 128, 128, 192, 96, cudaErrorInvalidValue, 0},
      {"rank 0", 128, 128, 64, 0, cudaErrorInvalidValue, 0},
      {"m 0", 0, 128, 64, 64, cudaErrorInvalidValue, 0},
      {"k negative", 128, 128, -64, 64, cudaErrorInvalidValue, 0},
  };
  for (const ShapeCase& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    FusedBuffers f(c.m > 0 ? c.m : 1, c.n, c.k > 0 ? c.k : 1, c.rank > 0 ? c.rank : 1);
    EXPECT_EQ(turing_row().launch_headless_mine(f.a.ptr, f.b.ptr, c.m, c.n, c.k, f.header.ptr, f.sync.ptr,
                                                f.target.ptr, f.seed.ptr, c.rank, f.extra.ptr, nullptr),
              c.result);
    const auto launch = last_launch();
    if (c.result != cudaSuccess) {
      EXPECT_EQ(launch.kernel, nullptr);
      continue;
    }
    EXPECT_EQ(launch.grid.x, c.blocks);
    EXPECT_EQ(launch.grid.y, 1u);
    EXPECT_EQ(launch.block.x, 128u);
    EXPECT_EQ(launch.dynamic_shared_bytes, 16384u);
    const auto attributes = hostgpu::inspect::kernel_attributes(launch.kernel, 0);
    EXPECT_EQ(attributes.max_dynamic_shared_bytes, 16384);
    EXPECT_EQ(attributes.preferred_carveout, 100);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }
}

TEST_F(TuringSlotsTest, MiningLaunchRefusesEveryNullPointer) {
  FusedBuffers f(128, 128, 64, 64);
  for (int missing = 0; missing < 6; ++missing) {
    SCOPED_TRACE(missing);
    const auto pick = [&](int index, auto* pointer) { return missing == index ? nullptr : pointer; };
    EXPECT_EQ(turing_row().launch_headless_mine(pick(0, f.a.ptr), pick(1, f.b.ptr), 128, 128, 64,
                                                pick(2, f.header.ptr), pick(3, f.sync.ptr), pick(4, f.target.ptr),
                                                pick(5, f.seed.ptr), 64, nullptr, nullptr),
              cudaErrorInvalidValue);
  }
  EXPECT_EQ(last_launch().kernel, nullptr);
}

TEST_F(TuringSlotsTest, FailedAttributeCallIsReturnedWithoutLaunching) {
  // A runtime that cannot initialise fails the first attribute call.
  setenv("HOSTGPU_DEVICES", "not a device list", 1);
  hostgpu::inspect::reinitialise();
  // Never dereferenced: nothing is launched.
  std::vector<int8_t> bytes(128 * 64);
  const int8_t* operand = bytes.data();
  auto* header = reinterpret_cast<HostSignalHeader*>(bytes.data());
  auto* sync = reinterpret_cast<HostSignalSync*>(bytes.data());
  const auto* words = reinterpret_cast<const uint32_t*>(bytes.data());
  EXPECT_EQ(vexal_turing::launch_headless_mine(operand, operand, 128, 128, 64, header, sync, words, words, 64,
                                               nullptr),
            cudaErrorInitializationError);
  auto* product = reinterpret_cast<int32_t*>(bytes.data());
  EXPECT_EQ(vexal_turing::launch_debug_gemm_tile(operand, operand, product, product, 128, 128, 64, nullptr),
            cudaErrorInitializationError);
  EXPECT_EQ(last_launch().kernel, nullptr);
}

}  // namespace
