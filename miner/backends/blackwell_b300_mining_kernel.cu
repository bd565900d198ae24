// The B300 backend's mining slots: A' and B' become bfloat16 copies (exact for
// int8 values) held per calling thread, and each CTA pair of a (2, 2, 1)
// cluster mines a 256 x 128 output tile from them with the two-SM bf16 MMA,
// one CTA per 128 rows.
//
// Why the transcript stays exact: a product of two int8 values is an integer
// of magnitude at most 2^14, exact in bf16 x bf16 -> f32. The MMA sums one
// rank step (128 products) in f32 starting from zero, so every partial sum is
// an integer of magnitude at most 2^21 < 2^24 and is represented exactly,
// whatever order the tensor core adds in. Each step's sum is converted to
// int32 (exactly) and added into int32 running sums kept in tensor memory
// beside it, wrapping as the int8 rows' accumulators do. A float sum over the
// whole of k would not be exact: it passes 2^24 once k exceeds 1024.
#include "backends/blackwell_b300_mining_kernel.h"

#include <cutlass/bfloat16.h>

#include "backends/blackwell_two_sm_mining.h"
#include "backends/blackwell_two_sm_mma.h"
#include "backends/headless_common.h"
#include "tensor_hash/blake3_constants.h"

namespace vexal_blackwell_b300 {

namespace {

constexpr int kPairTileM = 256;
constexpr int kTileN = 128;
using Config = blackwell_two_sm_mma::TwoSmConfig<cutlass::bfloat16_t, kTileN, true>;
static_assert(Config::kSharedBytes <= kMiningSharedBytes, "the stages fit the requested shared memory");
static_assert(2 * Config::kAllocatedColumns == 512, "two CTAs per SM hold all its tensor memory");

// What the kernel was compiled with (sm_103a), checked by scripts/kernel_report.
constexpr KernelFootprint kMiningFootprint{158, kOccupancyReserveBytes};

blackwell_two_sm::FirstLaunchSet& launched_devices() {
  static blackwell_two_sm::FirstLaunchSet launched;
  return launched;
}

// Grow-only: freed and reallocated only when a larger shape comes.
struct GrowingCopy {
  cutlass::bfloat16_t* data = nullptr;
  uint64_t capacity = 0;

  cudaError_t reserve(uint64_t count) {
    if (count <= capacity) return cudaSuccess;
    if (data) cudaFree(data);
    data = nullptr;
    capacity = 0;
    void* fresh = nullptr;
    const cudaError_t error = cudaMalloc(&fresh, count * sizeof(cutlass::bfloat16_t));
    if (error != cudaSuccess) {
      cudaGetLastError();  // returned here, not left for the next check
      return error;
    }
    data = static_cast<cutlass::bfloat16_t*>(fresh);
    capacity = count;
    return cudaSuccess;
  }
};

// Never released: they live as long as the process.
thread_local GrowingCopy copy_a;
thread_local GrowingCopy copy_b;

}  // namespace

__global__ void convert_i8_to_bf16_kernel(const int8_t* src, cutlass::bfloat16_t* dst,
                                          uint64_t count) {
  const uint64_t i = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i < count) dst[i] = cutlass::bfloat16_t(static_cast<float>(src[i]));
}

__global__ void __launch_bounds__(blackwell_two_sm_mma::kThreads) headless_mine_kernel_2sm_tma(
    int m, int n, int k, HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
    const uint32_t* seed, KORVATH_TENSOR_MAP_PARAMETER CUtensorMap map_a,
    KORVATH_TENSOR_MAP_PARAMETER CUtensorMap map_b) {
  (void)n;
  // Bounds the CTAs per SM (see kOccupancyReserveBytes); touched so that it stays.
  __shared__ unsigned char occupancy_reserve[kOccupancyReserveBytes];
  if (threadIdx.x == 0) *reinterpret_cast<volatile unsigned char*>(occupancy_reserve) = 0;
  const MiningOutputs outputs{header, sync, target, seed, nullptr, nullptr, nullptr, 0};
  blackwell_two_sm_mma::mine_block<Config>(m, k, &map_a, &map_b, outputs);
}

const void* mining_kernel() { return reinterpret_cast<const void*>(headless_mine_kernel_2sm_tma); }
const void* conversion_kernel() {
  return reinterpret_cast<const void*>(convert_i8_to_bf16_kernel);
}
ConversionCopy thread_copy_a() { return ConversionCopy{copy_a.data, copy_a.capacity}; }
ConversionCopy thread_copy_b() { return ConversionCopy{copy_b.data, copy_b.capacity}; }

cudaError_t launch_headless_mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                                 HostSignalHeader* header, HostSignalSync* sync,
                                 const uint32_t* target, const uint32_t* seed, int rank,
                                 uint32_t* /*extra*/, cudaStream_t stream) {
  if (!a || !b || !header || !sync || !target || !seed) return cudaErrorInvalidValue;
  if (m < 1 || n < 1 || k < 1 || rank != blackwell_two_sm::kRank) return cudaErrorInvalidValue;
  if (m % kPairTileM != 0 || n % kTileN != 0 || k % 128 != 0) return cudaErrorInvalidValue;

  const uint64_t count_a = static_cast<uint64_t>(m) * static_cast<uint64_t>(k);
  const uint64_t count_b = static_cast<uint64_t>(n) * static_cast<uint64_t>(k);
  cudaError_t error = copy_a.reserve(count_a);
  if (error != cudaSuccess) return error;
  error = copy_b.reserve(count_b);
  if (error != cudaSuccess) return error;
  launch_kernel(convert_i8_to_bf16_kernel, dim3(static_cast<unsigned>((count_a + 255) / 256), 1, 1),
                dim3(256, 1, 1), 0, stream, a, copy_a.data, count_a);
  launch_kernel(convert_i8_to_bf16_kernel, dim3(static_cast<unsigned>((count_b + 255) / 256), 1, 1),
                dim3(256, 1, 1), 0, stream, b, copy_b.data, count_b);
  error = cudaGetLastError();
  if (error != cudaSuccess) return error;

  CUtensorMap map_a;
  CUtensorMap map_b;
  blackwell_two_sm::encode_tensor_map(&map_a, CU_TENSOR_MAP_DATA_TYPE_BFLOAT16, copy_a.data, k, m,
                                      2ull * k, 64, 128);
  blackwell_two_sm::encode_tensor_map(&map_b, CU_TENSOR_MAP_DATA_TYPE_BFLOAT16, copy_b.data, k, n,
                                      2ull * k, 64, 64);

  error = blackwell_two_sm::set_shared_attributes(mining_kernel(), kMiningSharedBytes);
  if (error != cudaSuccess) return error;
  blackwell_two_sm::first_launch_stagger(launched_devices());

  const dim3 grid(static_cast<unsigned>(2 * ((m + kPairTileM - 1) / kPairTileM)),
                  static_cast<unsigned>((n + kTileN - 1) / kTileN), 1);
  return blackwell_two_sm::launch_on_clusters(headless_mine_kernel_2sm_tma, kMiningFootprint, grid,
                                              kMiningSharedBytes, stream, m, n, k, header, sync,
                                              target, seed, map_a, map_b);
}

cudaError_t launch_noise_and_mine(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                  const int8_t* b_left, const int8_t* a_right,
                                  const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                  int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                  int16_t* b_index1, int m, int n, int k, int rank,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed, uint32_t* extra,
                                  cudaStream_t stream) {
  cudaError_t error = headless_slots::common_apply_sparse_noise(a, a_left, a_right, noised_a,
                                                                a_index0, a_index1, m, k, rank,
                                                                stream);
  if (error != cudaSuccess) return error;
  error = headless_slots::common_apply_sparse_noise(b, b_left, b_right, noised_b, b_index0,
                                                    b_index1, n, k, rank, stream);
  if (error != cudaSuccess) return error;
  return launch_headless_mine(noised_a, noised_b, m, n, k, header, sync, target, seed, rank,
                              extra, stream);
}

}  // namespace vexal_blackwell_b300
