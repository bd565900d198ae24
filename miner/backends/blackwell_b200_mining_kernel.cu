// The B200 backend's mining slots: each CTA pair of a (2, 2, 1) cluster owns
// a 256 x 256 output tile, one CTA per 128 rows, multiplied by the two-SM
// int8 MMA into int32 accumulators in tensor memory; the unit also carries
// its own copies of the common kernels for the sparse noise of slot 5.
#include "backends/blackwell_b200_mining_kernel.h"

#include "backends/blackwell_two_sm_mining.h"
#include "backends/blackwell_two_sm_mma.h"
#include "backends/headless_common.h"
#include "tensor_hash/blake3_constants.h"

namespace vexal_blackwell_b200 {

namespace {

constexpr int kPairTile = 256;
using Config = blackwell_two_sm_mma::TwoSmConfig<int8_t, kPairTile, false>;
static_assert(Config::kSharedBytes <= kMiningSharedBytes, "the stages fit the requested shared memory");
// Shared memory admits two CTAs per SM; together they hold all 512 columns.
static_assert(2 * Config::kAllocatedColumns == 512, "two CTAs per SM hold all its tensor memory");

// What the kernel was compiled with (sm_100a), checked by scripts/kernel_report.
constexpr KernelFootprint kMiningFootprint{138, 0};

blackwell_two_sm::FirstLaunchSet& launched_devices() {
  static blackwell_two_sm::FirstLaunchSet launched;
  return launched;
}

}  // namespace

__global__ void __launch_bounds__(blackwell_two_sm_mma::kThreads) headless_mine_kernel_2sm_tma(
    int m, int n, int k, HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
    const uint32_t* seed, KORVATH_TENSOR_MAP_PARAMETER CUtensorMap map_a,
    KORVATH_TENSOR_MAP_PARAMETER CUtensorMap map_b) {
  (void)n;
  const MiningOutputs outputs{header, sync, target, seed, nullptr, nullptr, nullptr, 0};
  blackwell_two_sm_mma::mine_block<Config>(m, k, &map_a, &map_b, outputs);
}

const void* mining_kernel() { return reinterpret_cast<const void*>(headless_mine_kernel_2sm_tma); }

cudaError_t launch_headless_mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                                 HostSignalHeader* header, HostSignalSync* sync,
                                 const uint32_t* target, const uint32_t* seed, int rank,
                                 uint32_t* /*extra*/, cudaStream_t stream) {
  if (!a || !b || !header || !sync || !target || !seed) return cudaErrorInvalidValue;
  if (m < 1 || n < 1 || k < 1 || rank != blackwell_two_sm::kRank) return cudaErrorInvalidValue;
  if (m % kPairTile != 0 || n % kPairTile != 0 || k % 128 != 0) return cudaErrorInvalidValue;

  CUtensorMap map_a;
  CUtensorMap map_b;
  blackwell_two_sm::encode_tensor_map(&map_a, CU_TENSOR_MAP_DATA_TYPE_UINT8, a, k, m, k, 128, 128);
  blackwell_two_sm::encode_tensor_map(&map_b, CU_TENSOR_MAP_DATA_TYPE_UINT8, b, k, n, k, 128, 128);

  const cudaError_t attributes =
      blackwell_two_sm::set_shared_attributes(mining_kernel(), kMiningSharedBytes);
  if (attributes != cudaSuccess) return attributes;
  blackwell_two_sm::first_launch_stagger(launched_devices());

  const dim3 grid(static_cast<unsigned>(2 * ((m + kPairTile - 1) / kPairTile)),
                  static_cast<unsigned>((n + kPairTile - 1) / kPairTile), 1);
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

}  // namespace vexal_blackwell_b200
