// The "ampere_sm8x" row's slots: the mining launch's checks, grid and
// attributes, and the fused slots' stage order.

#include "ampere_device_test.h"
#include "backends/ampere_mining_kernel.h"
#include "device_fixture.h"
#include "mining_attempt.h"

namespace {

constexpr size_t kSharedBytes = 49152;

class AmpereSlotsTest : public AmpereDeviceTest {
 protected:
  const GpuBackendDescriptor& row() const { return forced_row("ampere"); }
  void restart() {
    TearDown();
    SetUp();
  }
};

// Operands of zeros and a zero target: a launch that is accepted runs
// quickly and reports nothing.
struct MiningBuffers {
  DeviceArray<int8_t> a, b;
  DeviceArray<uint32_t> target, seed, extra;
  DeviceArray<HostSignalSync> sync;
  DeviceArray<HostSignalHeader> header;
  MiningBuffers(int m, int n, int k)
      : a(size_t(m) * k), b(size_t(n) * k), target(8), seed(8), extra(1), sync(1), header(1) {}
};

TEST_F(AmpereSlotsTest, HeadlessMineChecksTheShapeAndPadsTheGridToGroupsOfEight) {
  struct Case {
    const char* what;
    int m, n, k, rank;
    cudaError_t result;
    unsigned blocks;
  };
  const Case cases[] = {
      {"one tile, seven surplus blocks", 128, 128, 64, 64, cudaSuccess, 8},
      {"384 x 256: ten surplus blocks", 384, 256, 64, 64, cudaSuccess, 16},
      {"k 192 with rank 64", 128, 128, 192, 64, cudaSuccess, 8},
      {"rank 128", 128, 256, 128, 128, cudaSuccess, 16},
      {"m 192", 192, 128, 64, 64, cudaErrorInvalidValue, 0},
      {"n 320", 128, 320, 64, 64, cudaErrorInvalidValue, 0},
      {"k 4000", 128, 128, 4000, 64, cudaErrorInvalidValue, 0},
      {"rank 96", 128, 128, 192, 96, cudaErrorInvalidValue, 0},
      {"rank 0", 128, 128, 64, 0, cudaErrorInvalidValue, 0},
      {"k 0", 128, 128, 0, 64, cudaErrorInvalidValue, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    restart();
    MiningBuffers f(c.m, c.n, c.k > 0 ? c.k : 1);
    EXPECT_EQ(row().launch_headless_mine(f.a.ptr, f.b.ptr, c.m, c.n, c.k, f.header.ptr, f.sync.ptr, f.target.ptr,
                                         f.seed.ptr, c.rank, f.extra.ptr, nullptr),
              c.result);
    const auto launch = last_launch();
    if (c.result != cudaSuccess) {
      EXPECT_EQ(launch.kernel, nullptr);
      continue;
    }
    EXPECT_EQ(launch.grid.x, c.blocks);
    EXPECT_EQ(launch.grid.y, 1u);
    EXPECT_EQ(launch.block.x, 128u);
    EXPECT_EQ(launch.dynamic_shared_bytes, kSharedBytes);
    const auto attributes = hostgpu::inspect::kernel_attributes(launch.kernel, 0);
    EXPECT_EQ(attributes.max_dynamic_shared_bytes, int(kSharedBytes));
    EXPECT_EQ(attributes.preferred_carveout, 100);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(f.header.download()[0].status, 0u);
  }
}

TEST_F(AmpereSlotsTest, HeadlessMineRefusesEachMissingPointer) {
  MiningBuffers f(128, 128, 64);
  for (int missing = 0; missing < 6; ++missing) {
    SCOPED_TRACE(missing);
    const auto pick = [&](int index, auto* pointer) { return missing == index ? nullptr : pointer; };
    EXPECT_EQ(row().launch_headless_mine(pick(0, f.a.ptr), pick(1, f.b.ptr), 128, 128, 64, pick(2, f.header.ptr),
                                         pick(3, f.sync.ptr), pick(4, f.target.ptr), pick(5, f.seed.ptr), 64,
                                         f.extra.ptr, nullptr),
              cudaErrorInvalidValue);
  }
  EXPECT_EQ(last_launch().kernel, nullptr);
}

// Buffers for slots 5 and 6 at a given shape; the operands' contents do not
// matter here.
struct FusedBuffers {
  DeviceArray<int8_t> a, b, a_left, b_left, a_right, b_right, noised_a, noised_b;
  DeviceArray<int16_t> a_i0, a_i1, b_i0, b_i1;
  DeviceArray<uint32_t> target, seed, extra;
  DeviceArray<HostSignalSync> sync;
  DeviceArray<HostSignalHeader> header;
  DeviceArray<VexalHeadlessJackpotDumpEntry> entries;
  DeviceArray<int32_t> values;
  DeviceArray<uint32_t> counts;
  FusedBuffers(int m, int n, int k, int rank)
      : a(size_t(m) * k), b(size_t(n) * k), a_left(size_t(m) * rank), b_left(size_t(n) * rank),
        a_right(size_t(rank) * k), b_right(size_t(rank) * k), noised_a(size_t(m) * k), noised_b(size_t(n) * k),
        a_i0(k), a_i1(k), b_i0(k), b_i1(k), target(8), seed(8), extra(1), sync(1), header(1),
        entries(size_t(m / 128 + 1) * (n / 128 + 1) * 128 * (k / rank + 1)),
        values(entries.count * 128), counts(entries.count * 128) {}
};

struct FusedCase {
  const char* what;
  bool dump;
  int m, n, k, rank;
  int null_pointer;  // -1 none; else the index of the argument made null (20: extra or entries, 22: counts)
  int capacity;
  cudaError_t result;
  dim3 last_grid;  // of the last accepted launch; (0, 0) when there is none
};

TEST_F(AmpereSlotsTest, FusedSlotsCheckEachStageBeforeItRuns) {
  // Pointer indices: 0 A, 1 B, 4 A right, 9 A index1, 11 B index1, 16 header, 19 seed.
  const FusedCase cases[] = {
      {"mines", false, 256, 384, 128, 64, -1, 0, cudaSuccess, dim3(24, 1, 1)},
      {"null extra", false, 128, 128, 64, 64, 20, 0, cudaSuccess, dim3(8, 1, 1)},
      {"dump mines", true, 128, 128, 128, 64, -1, 2, cudaSuccess, dim3(8, 1, 1)},
      {"m 192 after both noises", false, 192, 128, 128, 64, -1, 0, cudaErrorInvalidValue, dim3(128, 1, 1)},
      {"k 4000 after both noises", false, 128, 256, 4000, 64, -1, 0, cudaErrorInvalidValue, dim3(256, 8, 1)},
      {"rank 96 after both noises", false, 128, 128, 192, 96, -1, 0, cudaErrorInvalidValue, dim3(128, 1, 1)},
      {"null header", false, 128, 256, 128, 64, 16, 0, cudaErrorInvalidValue, dim3(256, 1, 1)},
      {"dump: null seed", true, 128, 256, 128, 64, 19, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
      {"dump: capacity 0", true, 128, 256, 128, 64, -1, 0, cudaErrorInvalidValue, dim3(256, 1, 1)},
      {"dump: null value counts", true, 128, 256, 128, 64, 22, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
      {"dump: null entries", true, 128, 256, 128, 64, 20, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
      {"dump: m 192", true, 192, 128, 128, 64, -1, 1, cudaErrorInvalidValue, dim3(128, 1, 1)},
      {"null B index after A's noise", false, 64, 96, 128, 64, 11, 0, cudaErrorInvalidValue, dim3(64, 1, 1)},
      {"null B after A's noise", true, 64, 96, 128, 64, 1, 1, cudaErrorInvalidValue, dim3(64, 1, 1)},
      {"n 0 after A's noise", false, 64, 0, 128, 64, -1, 0, cudaErrorInvalidValue, dim3(64, 1, 1)},
      {"null A right", false, 64, 96, 128, 64, 4, 0, cudaErrorInvalidValue, dim3(0, 0, 0)},
      {"null A index", true, 64, 96, 128, 64, 9, 1, cudaErrorInvalidValue, dim3(0, 0, 0)},
      {"m 0", false, 0, 96, 128, 64, -1, 0, cudaErrorInvalidValue, dim3(0, 0, 0)},
  };
  for (const FusedCase& c : cases) {
    SCOPED_TRACE(c.what);
    restart();
    FusedBuffers f(c.m > 0 ? c.m : 1, c.n > 0 ? c.n : 1, c.k, c.rank);
    const auto pick = [&](int index, auto* pointer) { return c.null_pointer == index ? nullptr : pointer; };
    const cudaError_t result =
        c.dump ? row().launch_noise_and_mine_dump(
                     pick(0, f.a.ptr), pick(1, f.b.ptr), f.a_left.ptr, f.b_left.ptr, pick(4, f.a_right.ptr),
                     f.b_right.ptr, f.noised_a.ptr, f.noised_b.ptr, f.a_i0.ptr, pick(9, f.a_i1.ptr), f.b_i0.ptr,
                     pick(11, f.b_i1.ptr), c.m, c.n, c.k, c.rank, pick(16, f.header.ptr), f.sync.ptr,
                     f.target.ptr, pick(19, f.seed.ptr), pick(20, f.entries.ptr), f.values.ptr,
                     pick(22, f.counts.ptr), c.capacity, nullptr)
               : row().launch_noise_and_mine(
                     pick(0, f.a.ptr), pick(1, f.b.ptr), f.a_left.ptr, f.b_left.ptr, pick(4, f.a_right.ptr),
                     f.b_right.ptr, f.noised_a.ptr, f.noised_b.ptr, f.a_i0.ptr, pick(9, f.a_i1.ptr), f.b_i0.ptr,
                     pick(11, f.b_i1.ptr), c.m, c.n, c.k, c.rank, pick(16, f.header.ptr), f.sync.ptr,
                     f.target.ptr, pick(19, f.seed.ptr), pick(20, f.extra.ptr), nullptr);
    EXPECT_EQ(result, c.result);
    const auto launch = last_launch();
    if (c.last_grid.x == 0) {
      EXPECT_EQ(launch.kernel, nullptr);
      continue;
    }
    EXPECT_EQ(launch.grid.x, c.last_grid.x);
    EXPECT_EQ(launch.grid.y, c.last_grid.y);
    if (c.result == cudaSuccess) {
      EXPECT_EQ(launch.block.x, 128u);
      EXPECT_EQ(launch.dynamic_shared_bytes, kSharedBytes);
      const auto attributes = hostgpu::inspect::kernel_attributes(launch.kernel, 0);
      EXPECT_EQ(attributes.max_dynamic_shared_bytes, int(kSharedBytes));
      EXPECT_EQ(attributes.preferred_carveout, 100);
    } else {
      // The last launch is a sparse-noise apply: 256 threads, one left-factor row.
      EXPECT_EQ(launch.block.x, 256u);
      EXPECT_EQ(launch.dynamic_shared_bytes, size_t(c.rank));
    }
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }
}

TEST_F(AmpereSlotsTest, DumpAndPlainMiningAreTwoInstantiations) {
  FusedBuffers f(128, 128, 64, 64);
  ASSERT_EQ(row().launch_headless_mine(f.noised_a.ptr, f.noised_b.ptr, 128, 128, 64, f.header.ptr, f.sync.ptr,
                                       f.target.ptr, f.seed.ptr, 64, f.extra.ptr, nullptr),
            cudaSuccess);
  const void* plain = last_launch().kernel;
  ASSERT_EQ(row().launch_noise_and_mine_dump(f.a.ptr, f.b.ptr, f.a_left.ptr, f.b_left.ptr, f.a_right.ptr,
                                             f.b_right.ptr, f.noised_a.ptr, f.noised_b.ptr, f.a_i0.ptr, f.a_i1.ptr,
                                             f.b_i0.ptr, f.b_i1.ptr, 128, 128, 64, 64, f.header.ptr, f.sync.ptr,
                                             f.target.ptr, f.seed.ptr, f.entries.ptr, f.values.ptr, f.counts.ptr,
                                             1, nullptr),
            cudaSuccess);
  const void* dump = last_launch().kernel;
  EXPECT_NE(plain, dump);
  const auto attributes = hostgpu::inspect::kernel_attributes(dump, 0);
  EXPECT_EQ(attributes.max_dynamic_shared_bytes, int(kSharedBytes));
  EXPECT_EQ(attributes.preferred_carveout, 100);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

}  // namespace
