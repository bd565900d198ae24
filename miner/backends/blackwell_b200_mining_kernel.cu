// The B200 backend's mining slots: each CTA pair of a (2, 2, 1) cluster owns
// a 256 x 256 output tile, one CTA per 128 rows, multiplied by the two-SM
// int8 MMA into int32 accumulators in tensor memory (in two parts of 128
// columns, so that one part is folded while the other is multiplied); the
// unit also carries its own copies of the common kernels for the sparse
// noise of slot 5.
#include "backends/blackwell_b200_mining_kernel.h"

#include "backends/blackwell_two_sm_mining.h"
#include "backends/blackwell_two_sm_mma.h"
#include "backends/headless_common.h"
#include "tensor_hash/blake3_constants.h"

namespace vexal_blackwell_b200 {

template <class ElementA, class LayoutA, class ElementB, class LayoutB>
using SharedStorage2Sm = blackwell_two_sm_mma::SharedStorage2Sm<ElementA, LayoutA, ElementB, LayoutB>;

namespace {

constexpr int kPairTile = 256;

// The kernel's template arguments: a K-major 128 x 128-byte tile of each
// operand (the 128-byte swizzle over 32-byte MMA steps), the 256 x 256 x 128
// pair tile, the two-SM int8 MMA and the CTA-pair multicast copies.
using SharedLayout = decltype(cute::composition(
    cute::Swizzle<3, 4, 3>{},
    cute::Layout<cute::Shape<cute::Shape<cute::_128, cute::_32>, cute::_1, cute::_4>,
                 cute::Stride<cute::Stride<cute::_128, cute::_1>, cute::_0, cute::_32>>{}));
using Storage = SharedStorage2Sm<int8_t, SharedLayout, int8_t, SharedLayout>;
using CtaTile = cute::Shape<cute::_256, cute::_256, cute::_128>;
using ClusterShape = cute::Shape<cute::_2, cute::_2, cute::_1>;
template <template <class, class, class, int, int, cute::UMMA::Major, cute::UMMA::Major, cute::UMMA::Saturate> class Op>
using MmaOf = Op<int8_t, int8_t, int32_t, 256, 256, cute::UMMA::Major::K, cute::UMMA::Major::K, cute::UMMA::Saturate::False>;
using TiledMma = decltype(cute::make_tiled_mma(MmaOf<korvath_cute::SM100_MMA_S8_2x1SM_SS>{}));
// CuTe's own atom types (its TMA builder is only named, never called: the
// launcher encodes the maps itself); the host flavour swaps in the twins.
using CuteTiledMma = decltype(cute::make_tiled_mma(MmaOf<cute::SM100_MMA_S8_2x1SM_SS>{}));
using Operand = decltype(cute::make_tensor(
    cute::make_gmem_ptr(static_cast<const int8_t*>(nullptr)),
    cute::make_layout(cute::make_shape(int{}, int{}), cute::make_stride(int{}, cute::_1{}))));
using TmaA = korvath_cute::host_twin_atom<decltype(cute::make_tma_atom_A_sm100(
    cute::SM100_TMA_2SM_LOAD_MULTICAST{}, std::declval<Operand>(), SharedLayout{}, CtaTile{}, CuteTiledMma{},
    cute::make_shape(cute::_2{}, cute::_1{}, cute::_2{}, cute::_1{})))>;
using TmaB = korvath_cute::host_twin_atom<decltype(cute::make_tma_atom_B_sm100(
    cute::SM100_TMA_2SM_LOAD_MULTICAST{}, std::declval<Operand>(), SharedLayout{}, CtaTile{}, CuteTiledMma{},
    cute::make_shape(cute::_2{}, cute::_1{}, cute::_2{}, cute::_1{})))>;
using CoordA = decltype(std::declval<TmaA>().get_tma_tensor(cute::make_shape(int{}, int{})));
using CoordB = decltype(std::declval<TmaB>().get_tma_tensor(cute::make_shape(int{}, int{})));

using Config = blackwell_two_sm_mma::TwoSmConfig<int8_t, kPairTile, false, 2, Storage>;
static_assert(blackwell_two_sm_mma::shared_bytes<Config>() <= kMiningSharedBytes,
              "the stages fit the requested shared memory");
// Shared memory admits two CTAs per SM; together they hold all 512 columns.
static_assert(2 * Config::kAllocatedColumns == 512, "two CTAs per SM hold all its tensor memory");

// What the kernel was compiled with (sm_100a), checked by scripts/kernel_report.
constexpr KernelFootprint kMiningFootprint{231, 0};

blackwell_two_sm::FirstLaunchSet& launched_devices() {
  static blackwell_two_sm::FirstLaunchSet launched;
  return launched;
}

}  // namespace

template <class SharedStorage, class CoordTensorA, class CoordTensorB, class CtaTiler, class TiledMmaType,
          class Cluster, class TmaAtomA, class TmaAtomB>
__global__ void __launch_bounds__(blackwell_two_sm_mma::kThreads) headless_mine_kernel_2sm_tma(
    CoordTensorA, CoordTensorB, int m, int n, int k, HostSignalHeader* header, HostSignalSync* sync,
    const uint32_t* target, const uint32_t* seed, CtaTiler, TiledMmaType, Cluster,
    KORVATH_TENSOR_MAP_PARAMETER TmaAtomA tma_a, KORVATH_TENSOR_MAP_PARAMETER TmaAtomB tma_b) {
  (void)n;
  const MiningOutputs outputs{header, sync, target, seed, nullptr, nullptr, nullptr, 0};
  blackwell_two_sm_mma::mine_block<Config, typename TiledMmaType::MMA_Op>(m, k, tma_a, tma_b, outputs);
}

namespace {

const auto kMiningKernel =
    headless_mine_kernel_2sm_tma<Storage, CoordA, CoordB, CtaTile, TiledMma, ClusterShape, TmaA, TmaB>;

}  // namespace

const void* mining_kernel() { return reinterpret_cast<const void*>(kMiningKernel); }

cudaError_t launch_headless_mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                                 HostSignalHeader* header, HostSignalSync* sync,
                                 const uint32_t* target, const uint32_t* seed, int rank,
                                 uint32_t* /*extra*/, cudaStream_t stream) {
  if (!a || !b || !header || !sync || !target || !seed) return cudaErrorInvalidValue;
  if (m < 1 || n < 1 || k < 1 || rank != blackwell_two_sm::kRank) return cudaErrorInvalidValue;
  if (m % kPairTile != 0 || n % kPairTile != 0 || k % 128 != 0) return cudaErrorInvalidValue;

  TmaA tma_a{};
  TmaB tma_b{};
  blackwell_two_sm::encode_tensor_map(&tma_a.tma_desc_, CU_TENSOR_MAP_DATA_TYPE_UINT8, a, k, m, k, 128, 128);
  blackwell_two_sm::encode_tensor_map(&tma_b.tma_desc_, CU_TENSOR_MAP_DATA_TYPE_UINT8, b, k, n, k, 128, 128);

  const cudaError_t attributes =
      blackwell_two_sm::set_shared_attributes(mining_kernel(), kMiningSharedBytes);
  if (attributes != cudaSuccess) return attributes;
  blackwell_two_sm::first_launch_stagger(launched_devices());

  const dim3 grid(static_cast<unsigned>(2 * ((m + kPairTile - 1) / kPairTile)),
                  static_cast<unsigned>((n + kPairTile - 1) / kPairTile), 1);
  return blackwell_two_sm::launch_on_clusters(
      kMiningKernel, kMiningFootprint, grid, kMiningSharedBytes, stream, tma_a.get_tma_tensor(cute::make_shape(m, k)),
      tma_b.get_tma_tensor(cute::make_shape(n, k)), m, n, k, header, sync, target, seed, CtaTile{}, TiledMma{},
      ClusterShape{}, tma_a, tma_b);
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
