// The "cmp170hx_sm80" row's fused slot when the device refuses the kernel's
// shared-memory attribute.
#include <cstdlib>

#include "backends/cmp170hx_mining_kernel.h"
#include "device_fixture.h"
#include "mining_attempt.h"

namespace {

class Cmp170hxSlotsTest : public HostDeviceTest {
 protected:
  const GpuBackendDescriptor& row() const { return forced_row("cmp170hx"); }
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
