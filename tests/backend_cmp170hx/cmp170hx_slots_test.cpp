// The "cmp170hx_sm80" row's slots: the fused slots' stage order, shape rule,
// padded grid and attributes (also when an attribute is refused).
#include <cstdlib>

#include "backends/cmp170hx_mining_kernel.h"
#include "device_fixture.h"
#include "mining_attempt.h"

namespace {

constexpr size_t kSharedBytes = 65536;

class Cmp170hxSlotsTest : public HostDeviceTest {
 protected:
  const GpuBackendDescriptor& row() const { return forced_row("cmp170hx"); }
  void restart() {
    TearDown();
    SetUp();
  }
  // A device whose shared memory per block (49152 bytes) is below the launches' need.
  void use_small_shared_memory_device() {
    setenv("HOSTGPU_DEVICES", "6.1,Host GPU,4096,8", 1);
    hostgpu::inspect::reinitialise();
  }
};

// Buffers for slots 5 and 6 at a given shape; the operands' contents do not
// matter here (all zero, with a zero target: nothing is reported).
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

  cudaError_t run(const GpuBackendDescriptor& row, bool dump, int m, int n, int k, int rank, int null_pointer,
                  int capacity) {
    const auto pick = [&](int index, auto* pointer) { return null_pointer == index ? nullptr : pointer; };
    if (dump) {
      return row.launch_noise_and_mine_dump(
          pick(0, a.ptr), pick(1, b.ptr), a_left.ptr, b_left.ptr, pick(4, a_right.ptr), b_right.ptr,
          noised_a.ptr, pick(7, noised_b.ptr), a_i0.ptr, pick(9, a_i1.ptr), b_i0.ptr, b_i1.ptr, m, n, k, rank,
          pick(16, header.ptr), sync.ptr, target.ptr, pick(19, seed.ptr), pick(20, entries.ptr), values.ptr,
          pick(22, counts.ptr), capacity, nullptr);
    }
    return row.launch_noise_and_mine(pick(0, a.ptr), pick(1, b.ptr), a_left.ptr, b_left.ptr, pick(4, a_right.ptr),
                                     b_right.ptr, noised_a.ptr, pick(7, noised_b.ptr), a_i0.ptr, pick(9, a_i1.ptr),
                                     b_i0.ptr, b_i1.ptr, m, n, k, rank, pick(16, header.ptr), sync.ptr, target.ptr,
                                     pick(19, seed.ptr), pick(20, extra.ptr), nullptr);
  }
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

TEST_F(Cmp170hxSlotsTest, FusedSlotsCheckEachStageBeforeItRuns) {
  // Pointer indices: 0 A, 1 B, 4 A right, 7 B', 9 A index1, 16 header, 19 seed.
  const FusedCase cases[] = {
      {"mines", false, 256, 384, 128, 128, -1, 0, cudaSuccess, dim3(48, 1, 1)},
      {"one tile, fifteen surplus blocks", false, 128, 128, 128, 128, 20, 0, cudaSuccess, dim3(16, 1, 1)},
      {"17 M tiles, thirty surplus blocks", false, 2176, 256, 128, 128, -1, 0, cudaSuccess, dim3(64, 1, 1)},
      {"dump mines", true, 128, 256, 256, 128, -1, 2, cudaSuccess, dim3(32, 1, 1)},
      {"rank 64 after both noises", false, 128, 128, 256, 64, -1, 0, cudaErrorInvalidValue, dim3(128, 1, 1)},
      {"k 4032 after both noises", false, 128, 256, 4032, 64, -1, 0, cudaErrorInvalidValue, dim3(256, 8, 1)},
      {"m 192 after both noises", false, 192, 128, 128, 128, -1, 0, cudaErrorInvalidValue, dim3(128, 1, 1)},
      {"n 320 after both noises", false, 128, 320, 128, 128, -1, 0, cudaErrorInvalidValue, dim3(320, 1, 1)},
      {"null header", false, 128, 256, 128, 128, 16, 0, cudaErrorInvalidValue, dim3(256, 1, 1)},
      {"dump: capacity 0", true, 128, 256, 128, 128, -1, 0, cudaErrorInvalidValue, dim3(256, 1, 1)},
      {"dump: null value counts", true, 128, 256, 128, 128, 22, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
      {"dump: null seed", true, 128, 256, 128, 128, 19, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
      {"dump: rank 64", true, 128, 256, 128, 64, -1, 1, cudaErrorInvalidValue, dim3(256, 1, 1)},
      {"null B' after A's noise", false, 64, 96, 128, 128, 7, 0, cudaErrorInvalidValue, dim3(64, 1, 1)},
      {"null B after A's noise", true, 64, 96, 128, 128, 1, 1, cudaErrorInvalidValue, dim3(64, 1, 1)},
      {"null A right", false, 64, 96, 128, 128, 4, 0, cudaErrorInvalidValue, dim3(0, 0, 0)},
      {"null A index", true, 64, 96, 128, 128, 9, 1, cudaErrorInvalidValue, dim3(0, 0, 0)},
      {"k 0", false, 128, 128, 0, 128, -1, 0, cudaErrorInvalidValue, dim3(0, 0, 0)},
  };
  for (const FusedCase& c : cases) {
    SCOPED_TRACE(c.what);
    restart();
    FusedBuffers f(c.m, c.n, c.k > 0 ? c.k : 1, c.rank);
    EXPECT_EQ(f.run(row(), c.dump, c.m, c.n, c.k, c.rank, c.null_pointer, c.capacity), c.result);
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
      // The last launch is a sparse-noise apply over chunks of 512 columns.
      EXPECT_EQ(launch.block.x, 256u);
      EXPECT_EQ(launch.dynamic_shared_bytes, size_t(c.rank));
    }
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  }
}

TEST_F(Cmp170hxSlotsTest, ARefusedAttributeIsReturnedBeforeTheMiningLaunch) {
  // The mining kernel's handle, from an accepted launch.
  FusedBuffers accepted(128, 128, 128, 128);
  ASSERT_EQ(accepted.run(row(), false, 128, 128, 128, 128, -1, 0), cudaSuccess);
  const void* mining_kernel = last_launch().kernel;
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);

  use_small_shared_memory_device();
  FusedBuffers f(128, 128, 128, 128);
  EXPECT_EQ(f.run(row(), false, 128, 128, 128, 128, -1, 0), cudaErrorInvalidValue);
  const auto launch = last_launch();
  EXPECT_NE(launch.kernel, mining_kernel);
  EXPECT_EQ(launch.block.x, 256u);  // B's sparse noise was the last launch
  // The maximum was refused, so the carveout was never set.
  EXPECT_EQ(hostgpu::inspect::kernel_attributes(mining_kernel, 0).preferred_carveout, -1);

  // The refusal is not reported again by the next operation.
  DeviceArray<uint16_t> rows(32768), cols(32768);
  DeviceArray<int32_t> meta(2);
  EXPECT_EQ(row().launch_dump_headless_coords(rows.ptr, cols.ptr, meta.ptr, nullptr), cudaSuccess);

  DeviceArray<int8_t> a(size_t(128) * 128), b(size_t(128) * 128);
  DeviceArray<int32_t> product(128 * 128), counts(128 * 128);
  EXPECT_EQ(row().launch_debug_gemm_tile(a.ptr, b.ptr, product.ptr, counts.ptr, 128, 128, 128, nullptr),
            cudaErrorInvalidValue);
  EXPECT_EQ(last_launch().grid.x, 1u);
  EXPECT_EQ(last_launch().block.x, 128u);  // still the coordinate dump
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

}  // namespace
