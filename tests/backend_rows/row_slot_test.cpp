// The operand slots every row takes from its own unit: the fill writes the
// reference bytes and nothing beyond, and the split rows' sparse noise equals
// the CPU's in and out of place, in the row's column chunks.
#include <string>
#include <vector>

#include "engine/cpu_operand_reference.h"
#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

struct FillCase {
  const char* what;
  const char* force;
  const char* device;
  size_t offset;  // from an aligned allocation
  uint64_t seed;
};

using RowFillTest = RowDeviceTest<FillCase>;

TEST_P(RowFillTest, WritesTheReferenceBytesAndNothingBeyond) {
  const FillCase& c = GetParam();
  DeviceArray<int8_t> buffer(std::vector<int8_t>(16, 0x5a));
  ASSERT_EQ(forced_row(c.force).launch_fill_int8(buffer.ptr + c.offset, 5, c.seed, nullptr), cudaSuccess);
  EXPECT_EQ(last_launch().grid.x, 1u);
  const std::vector<int8_t> bytes = buffer.download();
  EXPECT_EQ(std::vector<int8_t>(bytes.begin() + c.offset, bytes.begin() + c.offset + 5), cpu_fill_int8(c.seed, 5));
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i < c.offset || i >= c.offset + 5) EXPECT_EQ(bytes[i], 0x5a) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, RowFillTest,
                         ::testing::Values(FillCase{"turing", "turing", kTuringDevice, 2, 44},
                                           FillCase{"ampere", "ampere", kAmpereDevice, 1, 42},
                                           FillCase{"cmp170hx", "cmp170hx", kCmp170hxDevice, 3, 43}),
                         [](const ::testing::TestParamInfo<FillCase>& info) { return std::string(info.param.what); });

struct SparseCase {
  const char* what;
  const char* force;
  const char* device;
  int rows, k, rank;
  unsigned chunks;  // of the row's column chunk
};

using RowSparseNoiseTest = RowDeviceTest<SparseCase>;

TEST_P(RowSparseNoiseTest, EqualsTheCpuInAndOutOfPlaceAndRefusesBadArguments) {
  const SparseCase& c = GetParam();
  const GpuBackendDescriptor& row = forced_row(c.force);
  const std::vector<int8_t> x = cpu_fill_int8(5, int64_t(c.rows) * c.k);
  const CpuNoiseFactors factors = cpu_noise_factors(test_seed(3).data(), c.rows, c.k, c.rank);
  const std::vector<int8_t> expected = cpu_apply_noise(x, factors.left, factors.right, c.rows, c.k, c.rank);

  DeviceArray<int8_t> operand(x), left(factors.left), right(factors.right), out(x.size());
  DeviceArray<int16_t> index0(c.k), index1(c.k);
  ASSERT_EQ(row.launch_apply_sparse_noise(operand.ptr, left.ptr, right.ptr, out.ptr, index0.ptr, index1.ptr, c.rows,
                                          c.k, c.rank, nullptr),
            cudaSuccess);
  const auto launch = last_launch();
  EXPECT_EQ(launch.grid.x, unsigned(c.rows));
  EXPECT_EQ(launch.grid.y, c.chunks);
  EXPECT_EQ(launch.dynamic_shared_bytes, size_t(c.rank));
  EXPECT_EQ(out.download(), expected);

  ASSERT_EQ(row.launch_apply_sparse_noise(operand.ptr, left.ptr, right.ptr, operand.ptr, index0.ptr, index1.ptr,
                                          c.rows, c.k, c.rank, nullptr),
            cudaSuccess);
  EXPECT_EQ(operand.download(), expected);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);

  restart();
  EXPECT_EQ(row.launch_apply_sparse_noise(operand.ptr, left.ptr, right.ptr, out.ptr, nullptr, index1.ptr, c.rows,
                                          c.k, c.rank, nullptr),
            cudaErrorInvalidValue);
  EXPECT_EQ(row.launch_apply_sparse_noise(operand.ptr, left.ptr, right.ptr, out.ptr, index0.ptr, index1.ptr, 0, c.k,
                                          c.rank, nullptr),
            cudaErrorInvalidValue);
  EXPECT_EQ(last_launch().kernel, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowSparseNoiseTest,
    ::testing::Values(SparseCase{"turing", "turing", kTuringDevice, 3, 4100, 64, 9},
                      SparseCase{"ampere", "ampere", kAmpereDevice, 3, 1100, 64, 3},
                      // Slot 3 takes rank 64 too: the mining shape rule is not its concern.
                      SparseCase{"ada", "ada", kAdaDevice, 256, 4100, 64, 2}),
    [](const ::testing::TestParamInfo<SparseCase>& info) { return std::string(info.param.what); });

}  // namespace
