// The shared slots: fill and sparse noise against their CPU references, their
// grids and refusals, and the signal sizes.
#include <vector>

#include "backends/cmp170hx_dp2a_mining_kernel.h"
#include "backends/cmp170hx_scalar_mining_kernel.h"
#include "backends/headless_common.h"
#include "device_fixture.h"
#include "engine/cpu_operand_reference.h"

namespace {

using CommonSlotsTest = HostDeviceTest;

TEST_F(CommonSlotsTest, FillWritesTheReferenceBytesAndNothingBeyond) {
  struct Case {
    int64_t count;
    size_t offset;  // from an aligned allocation
    unsigned blocks;
  };
  const Case cases[] = {{1, 0, 1}, {2, 0, 1}, {3, 1, 1}, {5, 0, 1}, {1000, 3, 1}, {65536, 0, 64}, {65541, 2, 65}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    const size_t guard = 16;
    DeviceArray<int8_t> buffer(std::vector<int8_t>(c.offset + c.count + guard, 0x5a));
    ASSERT_EQ(vexal_cmp170hx_scalar::Slots::launch_fill_int8(buffer.ptr + c.offset, c.count, 77 + c.count, nullptr),
              cudaSuccess);
    const auto launch = last_launch();
    EXPECT_EQ(launch.grid.x, c.blocks);
    EXPECT_EQ(launch.block.x, 256u);
    EXPECT_EQ(launch.dynamic_shared_bytes, 0u);
    const std::vector<int8_t> bytes = buffer.download();
    const std::vector<int8_t> expected = cpu_fill_int8(77 + c.count, c.count);
    EXPECT_EQ(std::vector<int8_t>(bytes.begin() + c.offset, bytes.begin() + c.offset + c.count), expected);
    for (size_t i = 0; i < c.offset; ++i) EXPECT_EQ(bytes[i], 0x5a);
    for (size_t i = c.offset + c.count; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], 0x5a);
  }
}

TEST_F(CommonSlotsTest, FillStreamsDifferBySeed) {
  EXPECT_NE(cpu_fill_int8(1, 64), cpu_fill_int8(2, 64));
  // A longer fill extends a shorter one.
  const std::vector<int8_t> longer = cpu_fill_int8(9, 200);
  EXPECT_EQ(std::vector<int8_t>(longer.begin(), longer.begin() + 70), cpu_fill_int8(9, 70));
}

TEST_F(CommonSlotsTest, FillRefusesANullDestinationOrAnEmptyCount) {
  DeviceArray<int8_t> buffer(16);
  EXPECT_EQ(vexal_cmp170hx_dp2a::Slots::launch_fill_int8(nullptr, 16, 1, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(vexal_cmp170hx_dp2a::Slots::launch_fill_int8(buffer.ptr, 0, 1, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(vexal_cmp170hx_dp2a::Slots::launch_fill_int8(buffer.ptr, -4, 1, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(last_launch().kernel, nullptr);
}

struct SparseCase {
  int rows, k, rank;
  unsigned chunks;
};

class SparseNoiseTest : public HostDeviceTest, public ::testing::WithParamInterface<SparseCase> {};

TEST_P(SparseNoiseTest, EqualsTheDenseProductInAndOutOfPlace) {
  const SparseCase c = GetParam();
  const std::vector<int8_t> x = cpu_fill_int8(5, int64_t(c.rows) * c.k);
  const CpuNoiseFactors factors = cpu_noise_factors(test_seed(3).data(), c.rows, c.k, c.rank);
  const std::vector<int8_t> expected = cpu_apply_noise(x, factors.left, factors.right, c.rows, c.k, c.rank);
  ASSERT_NE(expected, x);

  DeviceArray<int8_t> operand(x), left(factors.left), right(factors.right), out(x.size());
  DeviceArray<int16_t> index0(size_t(c.k)), index1(size_t(c.k));
  ASSERT_EQ(headless_slots::common_apply_sparse_noise(operand.ptr, left.ptr, right.ptr, out.ptr, index0.ptr,
                                                      index1.ptr, c.rows, c.k, c.rank, nullptr),
            cudaSuccess);
  const auto launch = last_launch();
  EXPECT_EQ(launch.grid.x, unsigned(c.rows));
  EXPECT_EQ(launch.grid.y, c.chunks);
  EXPECT_EQ(launch.block.x, 256u);
  EXPECT_EQ(launch.dynamic_shared_bytes, size_t(c.rank));
  EXPECT_EQ(out.download(), expected);

  ASSERT_EQ(headless_slots::common_apply_sparse_noise(operand.ptr, left.ptr, right.ptr, operand.ptr,
                                                      index0.ptr, index1.ptr, c.rows, c.k, c.rank, nullptr),
            cudaSuccess);
  EXPECT_EQ(operand.download(), expected);
}

INSTANTIATE_TEST_SUITE_P(Shapes, SparseNoiseTest,
                         ::testing::Values(SparseCase{256, 256, 64, 1}, SparseCase{256, 256, 128, 1},
                                           SparseCase{3, 4100, 64, 2}, SparseCase{2, 4096, 128, 1}));

TEST_F(CommonSlotsTest, SparseNoiseRefusesBadArgumentsWithoutLaunching) {
  DeviceArray<int8_t> x(64), left(64), right(64), out(64);
  DeviceArray<int16_t> i0(8), i1(8);
  struct Case {
    const int8_t *x, *left, *right;
    int8_t* out;
    int16_t *i0, *i1;
    int rows, k, rank;
  };
  const Case cases[] = {
      {nullptr, left.ptr, right.ptr, out.ptr, i0.ptr, i1.ptr, 8, 8, 8},
      {x.ptr, nullptr, right.ptr, out.ptr, i0.ptr, i1.ptr, 8, 8, 8},
      {x.ptr, left.ptr, nullptr, out.ptr, i0.ptr, i1.ptr, 8, 8, 8},
      {x.ptr, left.ptr, right.ptr, nullptr, i0.ptr, i1.ptr, 8, 8, 8},
      {x.ptr, left.ptr, right.ptr, out.ptr, nullptr, i1.ptr, 8, 8, 8},
      {x.ptr, left.ptr, right.ptr, out.ptr, i0.ptr, nullptr, 8, 8, 8},
      {x.ptr, left.ptr, right.ptr, out.ptr, i0.ptr, i1.ptr, 0, 8, 8},
      {x.ptr, left.ptr, right.ptr, out.ptr, i0.ptr, i1.ptr, 8, 0, 8},
      {x.ptr, left.ptr, right.ptr, out.ptr, i0.ptr, i1.ptr, 8, 8, 0},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    EXPECT_EQ(headless_slots::common_apply_sparse_noise(c.x, c.left, c.right, c.out, c.i0, c.i1, c.rows, c.k,
                                                        c.rank, nullptr),
              cudaErrorInvalidValue);
    EXPECT_EQ(last_launch().kernel, nullptr);
  }
}

TEST_F(CommonSlotsTest, SignalSizesAreThoseOfTheRecords) {
  EXPECT_EQ(vexal_cmp170hx_dp2a::Slots::signal_header_bytes(), 1280u);
  EXPECT_EQ(vexal_cmp170hx_dp2a::Slots::signal_sync_bytes(), 8u);
  EXPECT_EQ(vexal_cmp170hx_scalar::Slots::signal_header_bytes(), 1280u);
  EXPECT_EQ(vexal_cmp170hx_scalar::Slots::signal_sync_bytes(), 8u);
}

}  // namespace
