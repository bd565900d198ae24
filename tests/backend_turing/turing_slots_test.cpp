// The "turing_sm75" row's slots around the mining kernel: the shape rule and
// grid of the mining launch, its kernel attributes, and the stages of the
// fused slots.
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

struct FusedCase {
  const char* what;
  int m, n, k, rank;
  int null_pointer;  // -1 none; else the index of the argument made null
  cudaError_t result;
  dim3 last_grid;    // of the last accepted launch; x = 0 when there is none
};

// Pointer indices: 0 A, 1 B, 4 A right, 9 A index1, 11 B index1, 16 header,
// 19 seed, 20 extra (slot 5) / 20 entries, 22 value counts (slot 6).
const FusedCase kSharedStages[] = {
    {"m 192", 192, 128, 256, 64, -1, cudaErrorInvalidValue, dim3(128, 1, 1)},
    {"n 320", 128, 320, 256, 64, -1, cudaErrorInvalidValue, dim3(320, 1, 1)},
    {"k 4000", 128, 128, 4000, 64, -1, cudaErrorInvalidValue, dim3(128, 8, 1)},
    {"rank 96", 128, 128, 384, 96, -1, cudaErrorInvalidValue, dim3(128, 1, 1)},
    {"null header", 128, 256, 256, 64, 16, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"null seed", 128, 256, 256, 64, 19, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"null B index", 256, 128, 1024, 64, 11, cudaErrorInvalidValue, dim3(256, 2, 1)},
    {"null B", 256, 128, 256, 64, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"n 0", 256, 0, 256, 64, -1, cudaErrorInvalidValue, dim3(256, 1, 1)},
    {"null A right", 128, 128, 256, 64, 4, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"null A index", 128, 128, 256, 64, 9, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"m 0", 0, 128, 256, 64, -1, cudaErrorInvalidValue, dim3(0, 0, 0)},
    {"rank 0", 128, 128, 256, 0, -1, cudaErrorInvalidValue, dim3(0, 0, 0)},
};

class TuringFusedSlotsTest : public TuringDeviceTest {
 protected:
  void expect_last_launch(const FusedCase& c) {
    const auto launch = last_launch();
    if (c.last_grid.x == 0) {
      EXPECT_EQ(launch.kernel, nullptr);
      return;
    }
    EXPECT_EQ(launch.grid.x, c.last_grid.x);
    EXPECT_EQ(launch.grid.y, c.last_grid.y);
    if (c.result == cudaSuccess) {
      EXPECT_EQ(launch.block.x, 128u);
      EXPECT_EQ(launch.dynamic_shared_bytes, 16384u);
    } else {
      EXPECT_EQ(launch.block.x, 256u);  // a sparse-noise kernel
    }
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }
};

TEST_F(TuringFusedSlotsTest, NoiseAndMineChecksEachStageJustBeforeIt) {
  std::vector<FusedCase> cases(std::begin(kSharedStages), std::end(kSharedStages));
  cases.push_back({"mines", 256, 384, 128, 64, -1, cudaSuccess, dim3(24, 1, 1)});
  cases.push_back({"null extra is dropped", 128, 128, 128, 128, 20, cudaSuccess, dim3(8, 1, 1)});
  for (const FusedCase& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    FusedBuffers f(c.m > 0 ? c.m : 1, c.n > 0 ? c.n : 1, c.k, c.rank > 0 ? c.rank : 1);
    const auto pick = [&](int index, auto* pointer) { return c.null_pointer == index ? nullptr : pointer; };
    EXPECT_EQ(turing_row().launch_noise_and_mine(
                  pick(0, f.a.ptr), pick(1, f.b.ptr), f.a_left.ptr, f.b_left.ptr, pick(4, f.a_right.ptr),
                  f.b_right.ptr, f.noised_a.ptr, f.noised_b.ptr, f.a_i0.ptr, pick(9, f.a_i1.ptr), f.b_i0.ptr,
                  pick(11, f.b_i1.ptr), c.m, c.n, c.k, c.rank, pick(16, f.header.ptr), f.sync.ptr, f.target.ptr,
                  pick(19, f.seed.ptr), pick(20, f.extra.ptr), nullptr),
              c.result);
    expect_last_launch(c);
  }
}

TEST_F(TuringFusedSlotsTest, NoiseAndMineDumpAlsoNeedsItsBuffers) {
  std::vector<FusedCase> cases(std::begin(kSharedStages), std::end(kSharedStages));
  cases.push_back({"mines", 128, 256, 128, 64, -1, cudaSuccess, dim3(16, 1, 1)});
  cases.push_back({"null entries", 128, 256, 128, 64, 20, cudaErrorInvalidValue, dim3(256, 1, 1)});
  cases.push_back({"null value counts", 128, 256, 128, 64, 22, cudaErrorInvalidValue, dim3(256, 1, 1)});
  cases.push_back({"capacity 0", 128, 256, 128, 64, 24, cudaErrorInvalidValue, dim3(256, 1, 1)});
  for (const FusedCase& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    FusedBuffers f(c.m > 0 ? c.m : 1, c.n > 0 ? c.n : 1, c.k, c.rank > 0 ? c.rank : 1);
    const auto pick = [&](int index, auto* pointer) { return c.null_pointer == index ? nullptr : pointer; };
    // One rank step per thread at most: the zero target writes no header.
    EXPECT_EQ(turing_row().launch_noise_and_mine_dump(
                  pick(0, f.a.ptr), pick(1, f.b.ptr), f.a_left.ptr, f.b_left.ptr, pick(4, f.a_right.ptr),
                  f.b_right.ptr, f.noised_a.ptr, f.noised_b.ptr, f.a_i0.ptr, pick(9, f.a_i1.ptr), f.b_i0.ptr,
                  pick(11, f.b_i1.ptr), c.m, c.n, c.k, c.rank, pick(16, f.header.ptr), f.sync.ptr, f.target.ptr,
                  pick(19, f.seed.ptr), pick(20, f.entries.ptr), f.values.ptr, pick(22, f.value_counts.ptr),
                  c.null_pointer == 24 ? 0 : 1, nullptr),
              c.result);
    expect_last_launch(c);
  }
}

}  // namespace
