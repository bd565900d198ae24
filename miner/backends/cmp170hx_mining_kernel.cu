// The CMP 170HX tensor-core backend: the ampere kernel bodies with 128
// columns of k per step in two pipeline stages, plain vectorised shared loads
// for B, groups of 16 M tiles; its debug tile and coordinate dump, and the
// unit's instance of the shared slots with its own fill and sparse-noise
// kernels (the row has no slot 3: the sparse noise runs inside slots 5 and 6).
#include "backends/cmp170hx_mining_kernel.h"

#include "backends/ampere_cute_launch.h"
#include "backends/ampere_cute_unit.h"
#include "backends/ampere_cute_mining.h"
#include "backends/headless_common.h"
#include "tensor_hash/blake3_constants.h"

namespace vexal_cmp170hx {

constexpr int kSparseNoiseColumns = 512;
constexpr int kGroupTiles = 16;  // M tiles per group of the mining grid

__global__ void fill_int8_kernel(int8_t* dst, int64_t count, uint64_t seed) {
  headless_common_body::fill_int8(dst, count, seed);
}

__global__ void extract_sparse_indices_kernel(const int8_t* right, int16_t* index0,
                                              int16_t* index1, int32_t k, int32_t rank) {
  headless_common_body::extract_sparse_indices(right, index0, index1, k, rank);
}

__global__ void apply_sparse_noise_kernel(const int8_t* x, const int8_t* left,
                                          const int16_t* index0, const int16_t* index1,
                                          int8_t* x_out, int32_t rows, int32_t k, int32_t rank) {
  headless_common_body::apply_sparse_noise<kSparseNoiseColumns>(x, left, index0, index1, x_out,
                                                                rows, k, rank);
}

// The transcripts are built inside the mining kernel; these two stay empty.
__global__ void update_transcripts_kernel(const int32_t*, uint32_t*, const int32_t*,
                                          const int32_t*, const int32_t*, const int32_t*, int32_t,
                                          int32_t, int32_t, int32_t, int32_t, int32_t) {}

__global__ void check_transcripts_kernel(const uint32_t*, const int32_t*, const int32_t*,
                                         const int32_t*, const int32_t*, HostSignalHeader*,
                                         HostSignalSync*, const uint32_t*, const uint32_t*,
                                         int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                         int32_t, int32_t, int32_t, int32_t) {}

template <bool kDump, class ProblemShape, class CtaTiler, class AStride, class ASmemLayout,
          class G2SCopyA, class S2RAtomA, class BStride, class BSmemLayout, class G2SCopyB,
          class S2RAtomB, class TiledMma>
__global__ void __launch_bounds__(128)
    headless_mine_kernel(ProblemShape shape, CtaTiler tiler, const int8_t* a, AStride a_stride,
                         ASmemLayout a_layout, G2SCopyA a_copy, S2RAtomA a_load, const int8_t* b,
                         BStride b_stride, BSmemLayout b_layout, G2SCopyB b_copy,
                         S2RAtomB b_load, HostSignalHeader* header, HostSignalSync* sync,
                         const uint32_t* target, const uint32_t* seed, TiledMma mma,
                         int32_t rank, VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                         uint32_t* value_counts, int32_t capacity) {
  ampere_cute::mine_block<kDump, kGroupTiles>(shape, tiler, a, a_stride, a_layout, a_copy, a_load,
                                              b, b_stride, b_layout, b_copy, b_load, header, sync,
                                              target, seed, mma, rank, entries, values,
                                              value_counts, capacity);
}

template <class ProblemShape, class CtaTiler, class AStride, class ASmemLayout, class G2SCopyA,
          class S2RAtomA, class BStride, class BSmemLayout, class G2SCopyB, class S2RAtomB,
          class TiledMma>
__global__ void __launch_bounds__(128)
    debug_gemm_tile_kernel(ProblemShape shape, CtaTiler tiler, const int8_t* a, AStride a_stride,
                           ASmemLayout a_layout, G2SCopyA a_copy, S2RAtomA a_load,
                           const int8_t* b, BStride b_stride, BSmemLayout b_layout,
                           G2SCopyB b_copy, S2RAtomB b_load, int32_t* product, int32_t* counts,
                           TiledMma mma) {
  ampere_cute::debug_tile(shape, tiler, a, a_stride, a_layout, a_copy, a_load, b, b_stride,
                          b_layout, b_copy, b_load, product, counts, mma);
}

template <class TiledMma>
__global__ void dump_headless_coords_kernel(uint16_t* rows, uint16_t* cols, int32_t* meta,
                                            TiledMma mma) {
  ampere_cute::dump_coords(rows, cols, meta, mma);
}

namespace {

using namespace cute;

// The unit's configuration for the shared host operations.
struct Unit {
  // 128 x 128 x 128 block tile; two stages of 128 rows of 128 bytes per operand.
  using BlockTile = Shape<_128, _128, _128>;
  using SharedLayout = decltype(tile_to_shape(
      composition(Swizzle<2, 4, 3>{}, Layout<Shape<_16, _128>, Stride<_128, _1>>{}),
      Shape<_128, _128, _2>{}));
  // Each thread copies 16 bytes of one row; one pass moves 32 rows of 64 bytes.
  using GlobalToShared = decltype(make_tiled_copy(
      Copy_Atom<korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL<cute::uint128_t>, int8_t>{},
      Layout<Shape<_32, _4>, Stride<_4, _1>>{}, Layout<Shape<_1, _16>>{}));
  using SharedToRegisterA = Copy_Atom<korvath_cute::SM75_U32x4_LDSM_N, int8_t>;
  using SharedToRegisterB =
      Copy_Atom<korvath_cute::AutoVectorizingCopyWithAssumedAlignment<128>, int8_t>;
  using TiledMma = decltype(make_tiled_mma(korvath_cute::SM80_16x8x32_S32S8S8S32_TN{},
                                           Layout<Shape<_2, _2, _1>, Stride<_1, _2, _0>>{},
                                           Tile<_32, _32, _32>{}));
  static constexpr int kSharedBytes = 65536;
  static constexpr int kGroupTiles = vexal_cmp170hx::kGroupTiles;

  template <bool kDump>
  static constexpr auto mining_kernel =
      &headless_mine_kernel<kDump, ampere_cute::ProblemShape, BlockTile, ampere_cute::OperandStride,
                            SharedLayout, GlobalToShared, SharedToRegisterA,
                            ampere_cute::OperandStride, SharedLayout, GlobalToShared,
                            SharedToRegisterB, TiledMma>;
  static constexpr auto debug_kernel =
      &debug_gemm_tile_kernel<ampere_cute::ProblemShape, BlockTile, ampere_cute::OperandStride,
                              SharedLayout, GlobalToShared, SharedToRegisterA,
                              ampere_cute::OperandStride, SharedLayout, GlobalToShared,
                              SharedToRegisterB, TiledMma>;
  static constexpr auto coords_kernel = &dump_headless_coords_kernel<TiledMma>;
};
static_assert(2 * decltype(size(Unit::SharedLayout{}))::value == Unit::kSharedBytes,
              "two stages of A and B");

using Slots = ampere_cute::UnitSlots<Unit>;

cudaError_t noise_both_operands(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                const int8_t* b_left, const int8_t* a_right,
                                const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                int16_t* b_index1, int m, int n, int k, int rank,
                                cudaStream_t stream) {
  return headless_slots::noise_both_operands(
      extract_sparse_indices_kernel, apply_sparse_noise_kernel, kSparseNoiseColumns, a, b, a_left,
      b_left, a_right, b_right, noised_a, noised_b, a_index0, a_index1, b_index0, b_index1, m, n,
      k, rank, stream);
}

}  // namespace

cudaError_t launch_fill_int8(int8_t* dst, int64_t count, uint64_t seed, cudaStream_t stream) {
  return headless_slots::launch_fill_int8(fill_int8_kernel, dst, count, seed, stream);
}

cudaError_t launch_generate_noise(int rank, int m, int n, int k, int8_t* a_left, int8_t* a_right,
                                  int8_t* b_right, int8_t* b_left, const uint8_t* seed_a,
                                  const uint8_t* seed_b, cudaStream_t stream) {
  return headless_slots::launch_generate_noise(rank, m, n, k, a_left, a_right, b_right, b_left,
                                               seed_a, seed_b, stream);
}

// Not in the row: the last step of slot 5.
cudaError_t launch_headless_mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                                 HostSignalHeader* header, HostSignalSync* sync,
                                 const uint32_t* target, const uint32_t* seed, int rank,
                                 cudaStream_t stream) {
  return Slots::headless_mine(a, b, m, n, k, header, sync, target, seed, rank, stream);
}

cudaError_t launch_noise_and_mine(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                  const int8_t* b_left, const int8_t* a_right,
                                  const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                  int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                  int16_t* b_index1, int m, int n, int k, int rank,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed,
                                  cudaStream_t stream) {
  const cudaError_t noise =
      noise_both_operands(a, b, a_left, b_left, a_right, b_right, noised_a, noised_b, a_index0,
                          a_index1, b_index0, b_index1, m, n, k, rank, stream);
  if (noise != cudaSuccess) return noise;
  return launch_headless_mine(noised_a, noised_b, m, n, k, header, sync, target, seed, rank,
                              stream);
}

cudaError_t launch_noise_and_mine_dump(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                       const int8_t* b_left, const int8_t* a_right,
                                       const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                       int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                       int16_t* b_index1, int m, int n, int k, int rank,
                                       HostSignalHeader* header, HostSignalSync* sync,
                                       const uint32_t* target, const uint32_t* seed,
                                       VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                                       uint32_t* value_counts, int capacity, cudaStream_t stream) {
  const cudaError_t noise =
      noise_both_operands(a, b, a_left, b_left, a_right, b_right, noised_a, noised_b, a_index0,
                          a_index1, b_index0, b_index1, m, n, k, rank, stream);
  if (noise != cudaSuccess) return noise;
  return Slots::mine_with_dump(noised_a, noised_b, m, n, k, header, sync, target, seed, rank,
                               entries, values, value_counts, capacity, stream);
}

cudaError_t launch_dump_headless_coords(uint16_t* rows, uint16_t* cols, int32_t* meta,
                                        cudaStream_t stream) {
  return Slots::dump_coords(rows, cols, meta, stream);
}

cudaError_t launch_debug_gemm_tile(const int8_t* a, const int8_t* b, int32_t* product,
                                   int32_t* counts, int m, int n, int k, cudaStream_t stream) {
  return Slots::debug_tile(a, b, product, counts, m, n, k, stream);
}

uint64_t signal_header_bytes() { return headless_slots::signal_header_bytes(); }
uint64_t signal_sync_bytes() { return headless_slots::signal_sync_bytes(); }

}  // namespace vexal_cmp170hx
