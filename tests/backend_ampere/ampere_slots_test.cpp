// The "ampere_sm8x" row's slots: the mining launch's checks, grid and
// attributes, and the two instantiations of the fused slots.

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
