// The Turing backend: a CuTe int8 tensor-core product (m8n8k16) of one
// 128 x 128 tile per block of four warps over the whole of k, folded into
// per-thread transcripts every rank columns by the shared mining epilogue;
// and the unit's instance of the shared slots with its own kernels.
//
// The MMA leaves each thread with accumulators scattered over the tile, while
// the transcripts, the candidate's opened pairs and the jackpot dump follow
// the thread layout the diagnostics replay (explicit_mining::value_position:
// two rows and 64 columns per thread). At every rank step the threads
// therefore XOR their accumulators into their owners' words in shared memory,
// and each owner folds its word into its transcript. The jackpot dump, which
// needs every value of the owner, regroups the accumulators into that layout
// through shared memory instead, 16 columns at a time.
#include "backends/turing_mining_kernel.h"

#include <cstdint>

#include "backends/explicit_mining_kernels.h"
#include "backends/headless_common.h"
#include "backends/mining_epilogue.h"
#include "core/gpu_platform.h"
#include "core/instructions/cute_twins.h"
#include "core/kernel_launch.h"
#include "tensor_hash/blake3_constants.h"

namespace vexal_turing {

using namespace cute;

namespace {

constexpr int kTileM = 128;
constexpr int kTileN = 128;
constexpr int kTileK = 64;
constexpr int kThreads = 128;
constexpr int kTileGroup = 8;  // M tiles walked per N tile
constexpr int kOperandStageBytes = kTileM * kTileK;
constexpr int kDynamicSharedBytes = 2 * kOperandStageBytes;
constexpr int kSparseNoiseColumns = 512;
constexpr int kCarveoutPercent = 100;

// Accumulator regrouping: 16 of the tile's columns per pass, 8 from each half.
constexpr int kRegroupColumns = 16;
constexpr int kRegroupPasses = kTileN / kRegroupColumns;

using ProblemShape = Shape<int, int, int>;
using BlockTile = Shape<Int<kTileM>, Int<kTileN>, Int<kTileK>>;
using OperandStride = Stride<int, _1>;
// 128 rows of 64 bytes, one stage; the 16-byte chunks of a row permuted by
// the row so that the eight rows of a matrix load spread over the banks.
using SharedLayout =
    decltype(composition(Swizzle<2, 4, 3>{},
                         Layout<Shape<Shape<_16, _8>, Shape<_64, _1>, Shape<_1, _1>>,
                                Stride<Stride<_64, _1024>, Stride<_1, _0>, Stride<_0, _0>>>{}));
// Each thread moves 16 consecutive bytes of one row; a pass moves 32 rows.
using GlobalToShared = decltype(make_tiled_copy(
    Copy_Atom<korvath_cute::AutoVectorizingCopyWithAssumedAlignment<128>, int8_t>{},
    Layout<Shape<_32, _4>, Stride<_4, _1>>{}, Layout<Shape<_1, _16>>{}));
using SharedToRegister = Copy_Atom<korvath_cute::SM75_U32x4_LDSM_N, int8_t>;
using TiledMma = decltype(make_tiled_mma(korvath_cute::SM75_8x8x16_S32S8S8S32_TN{},
                                         Layout<Shape<_2, _2, _1>, Stride<_1, _2, _0>>{},
                                         Tile<_32, _32, _32>{}));

static_assert(cosize(SharedLayout{}) == kOperandStageBytes, "one stage of one operand");

// Accumulates the block tile (tile_m, tile_n) over the whole of k. After every
// kTileK columns each thread calls contribute(k_pos, accumulators,
// coordinates), and collect(k_pos, accumulators, coordinates) after the next
// barrier, which comes before any thread's next contribute: what contribute
// leaves in shared memory for other threads is theirs to read in collect.
// coordinates(v) is accumulator v's (row, column) within the tile.
template <class Shape_, class Tiler, class AStride, class ALayout, class ACopy, class AAtom,
          class BStride, class BLayout, class BCopy, class BAtom, class Mma, class Contribute,
          class Collect>
__device__ void accumulate_block_tile(Shape_ shape_mnk, Tiler tiler, const int8_t* a,
                                      AStride a_stride, ALayout a_layout, ACopy a_copy,
                                      AAtom a_atom, const int8_t* b, BStride b_stride,
                                      BLayout b_layout, BCopy b_copy, BAtom b_atom, Mma mma,
                                      int tile_m, int tile_n, Contribute&& contribute,
                                      Collect&& collect) {
  const int thread = static_cast<int>(threadIdx.x);
  Tensor m_a = make_tensor(make_gmem_ptr(a), select<0, 2>(shape_mnk), a_stride);
  Tensor m_b = make_tensor(make_gmem_ptr(b), select<1, 2>(shape_mnk), b_stride);
  const auto block = make_coord(tile_m, tile_n, _);
  Tensor g_a = local_tile(m_a, tiler, block, Step<_1, X, _1>{});  // (128, 64, k tiles)
  Tensor g_b = local_tile(m_b, tiler, block, Step<X, _1, _1>{});  // (128, 64, k tiles)

  int8_t* shared = korvath_dynamic_shared<int8_t>();
  Tensor s_a = make_tensor(make_smem_ptr(shared), a_layout)(_, _, 0);
  Tensor s_b = make_tensor(make_smem_ptr(shared + kOperandStageBytes), b_layout)(_, _, 0);

  auto a_loader = a_copy.get_slice(thread);
  auto b_loader = b_copy.get_slice(thread);
  Tensor a_global = a_loader.partition_S(g_a);
  Tensor a_staged = a_loader.partition_D(s_a);
  Tensor b_global = b_loader.partition_S(g_b);
  Tensor b_staged = b_loader.partition_D(s_b);

  auto mma_thread = mma.get_slice(thread);
  Tensor coordinates = mma_thread.partition_C(make_identity_tensor(make_shape(Int<kTileM>{}, Int<kTileN>{})));
  Tensor accumulators = mma_thread.make_fragment_C(coordinates);
  clear(accumulators);
  Tensor a_fragment = mma_thread.partition_fragment_A(s_a);
  Tensor b_fragment = mma_thread.partition_fragment_B(s_b);

  auto a_matrix_load = make_tiled_copy_A(a_atom, mma);
  auto b_matrix_load = make_tiled_copy_B(b_atom, mma);
  auto a_matrix_thread = a_matrix_load.get_slice(thread);
  auto b_matrix_thread = b_matrix_load.get_slice(thread);
  Tensor a_shared = a_matrix_thread.partition_S(s_a);
  Tensor a_registers = a_matrix_thread.retile_D(a_fragment);
  Tensor b_shared = b_matrix_thread.partition_S(s_b);
  Tensor b_registers = b_matrix_thread.retile_D(b_fragment);

  const int k_tiles = static_cast<int>(size<2>(g_a));
  for (int k_tile = 0; k_tile < k_tiles; ++k_tile) {
    __syncthreads();  // the previous stage has been read, the last K tile contributed
    if (k_tile > 0) collect(k_tile * kTileK, accumulators, coordinates);
    copy(a_copy, a_global(_, _, _, k_tile), a_staged);
    copy(b_copy, b_global(_, _, _, k_tile), b_staged);
    __syncthreads();
    // One 4-matrix load spans two MMA k blocks, so the stage is loaded whole.
    copy(a_matrix_load, a_shared, a_registers);
    copy(b_matrix_load, b_shared, b_registers);
    gemm(mma, a_fragment, b_fragment, accumulators);
    contribute((k_tile + 1) * kTileK, accumulators, coordinates);
  }
  __syncthreads();
  if (k_tiles > 0) collect(k_tiles * kTileK, accumulators, coordinates);
}

// XORs the thread's accumulators into their owners' words (the owner of a
// cell: ampere_cute::cell_owner). The fragment of the 8 x 8 x 16 MMA on 2 x 2
// warps over the 128 x 128 tile is (column pair, 8 M repeats of 16 rows, 8 N
// repeats of 16 columns): a thread's rows are r + 16·i and its columns
// c + 16·j with r, c < 16, so its cells of one owner share i mod 2, i / 4 and
// j / 4, and the four lanes of a quad, which share the rows, share the owners.
// The quad splits its 8 sums so that each lane adds two.
template <class Accumulators, class Coordinates>
__device__ void fold_into_owners(const Accumulators& accumulators,
                                 const Coordinates& coordinates, uint32_t* folds) {
  static_assert(decltype(size<0>(accumulators))::value == 2 &&
                    decltype(size<1>(accumulators))::value == 8 &&
                    decltype(size<2>(accumulators))::value == 8,
                "the fragment of the 2 x 2 warps' 8 x 8 x 16 MMA over a 128 x 128 tile");
  // sums[column half][row half][16-row half]
  uint32_t sums[2][2][2];
  CUTE_UNROLL
  for (int col_half = 0; col_half < 2; ++col_half) {
    CUTE_UNROLL
    for (int row_half = 0; row_half < 2; ++row_half) {
      CUTE_UNROLL
      for (int sixteen = 0; sixteen < 2; ++sixteen) {
        uint32_t sum = 0;
        CUTE_UNROLL
        for (int i = 4 * row_half + sixteen; i < 4 * row_half + 4; i += 2) {
          CUTE_UNROLL
          for (int j = 4 * col_half; j < 4 * col_half + 4; ++j) {
            sum ^= static_cast<uint32_t>(accumulators(0, i, j)) ^
                   static_cast<uint32_t>(accumulators(1, i, j));
          }
        }
        sums[col_half][row_half][sixteen] = sum;
      }
    }
  }
  const int quad_lane = static_cast<int>(threadIdx.x) % 4;
  // Lanes 2 apart: each keeps the column half of its bit 1.
  const bool right = (quad_lane & 2) != 0;
  uint32_t kept[2][2];
  CUTE_UNROLL
  for (int row_half = 0; row_half < 2; ++row_half) {
    CUTE_UNROLL
    for (int sixteen = 0; sixteen < 2; ++sixteen) {
      const uint32_t keep = right ? sums[1][row_half][sixteen] : sums[0][row_half][sixteen];
      const uint32_t give = right ? sums[0][row_half][sixteen] : sums[1][row_half][sixteen];
      kept[row_half][sixteen] = keep ^ __shfl_xor_sync(0xffffffffu, give, 2);
    }
  }
  // Lanes 1 apart: each keeps the row half of its bit 0.
  const bool lower = (quad_lane & 1) != 0;
  const int first_row = get<0>(coordinates(0));
  CUTE_UNROLL
  for (int sixteen = 0; sixteen < 2; ++sixteen) {
    const uint32_t keep = lower ? kept[1][sixteen] : kept[0][sixteen];
    const uint32_t give = lower ? kept[0][sixteen] : kept[1][sixteen];
    const uint32_t sum = keep ^ __shfl_xor_sync(0xffffffffu, give, 1);
    const int row = 64 * (lower ? 1 : 0) + first_row % 16 + 16 * sixteen;
    const int col = 64 * (right ? 1 : 0);
    atomicXor(&folds[64 * (col / 64) + 32 * (row / 64) + row % 32], sum);
  }
}

// Regroups the block's accumulators so that `mine` holds this thread's values
// in the diagnostics' layout (value v at explicit_mining::value_position).
template <class Accumulators, class Coordinates>
__device__ void regroup_accumulators(const Accumulators& accumulators,
                                     const Coordinates& coordinates, int32_t* exchange,
                                     int32_t (&mine)[explicit_mining::kValuesPerThread]) {
  constexpr int kHalf = explicit_mining::kColumnsPerThread;
  constexpr int kPerHalf = kRegroupColumns / 2;
  const int thread = static_cast<int>(threadIdx.x);
  const TilePosition origin = explicit_mining::value_position(thread, 0);
  const int column_half = origin.col / kHalf;
  for (int pass = 0; pass < kRegroupPasses; ++pass) {
    CUTE_UNROLL
    for (int v = 0; v < size(accumulators); ++v) {
      const int row = get<0>(coordinates(v));
      const int col = get<1>(coordinates(v));
      if ((col % kHalf) / kPerHalf != pass) continue;
      exchange[row * kRegroupColumns + (col / kHalf) * kPerHalf + col % kPerHalf] = accumulators(v);
    }
    __syncthreads();
    for (int pair_row = 0; pair_row < 2; ++pair_row) {
      const int row = origin.row + 32 * pair_row;
      for (int j = 0; j < kPerHalf; ++j) {
        mine[pair_row * kHalf + pass * kPerHalf + j] =
            exchange[row * kRegroupColumns + column_half * kPerHalf + j];
      }
    }
    __syncthreads();
  }
}

}  // namespace

// One block's mining of tile (tile_m, tile_n). The mining path (kDump false)
// folds through the owners' words, one per thread at the head of `exchange`;
// the dump path regroups every value to its owner through `exchange`.
template <bool kDump, class Shape_, class Tiler, class AStride, class ALayout, class ACopy,
          class AAtom, class BStride, class BLayout, class BCopy, class BAtom, class Mma>
__device__ void mine_tile(Shape_ shape_mnk, Tiler tiler, const int8_t* a, AStride a_stride,
                          ALayout a_layout, ACopy a_copy, AAtom a_atom, const int8_t* b,
                          BStride b_stride, BLayout b_layout, BCopy b_copy, BAtom b_atom, Mma mma,
                          int32_t rank, MiningOutputs outputs, uint32_t tile_m, uint32_t tile_n,
                          uint32_t tiles_m, int32_t* exchange) {
  const int thread = static_cast<int>(threadIdx.x);
  MiningThreadPlace place;
  place.tile_m_index = tile_m;
  place.tile_n_index = tile_n;
  place.tile_m_count = tiles_m;
  place.thread = thread;
  place.threads_per_block = kThreads;
  place.tile_height = kTileM;
  place.tile_width = kTileN;
  place.k = get<2>(shape_mnk);
  place.rank = rank;
  MiningEpilogue<explicit_mining::kValuesPerThread> epilogue(outputs, place);
  const auto positions = [thread](int v) { return explicit_mining::value_position(thread, v); };

  uint32_t* folds = reinterpret_cast<uint32_t*>(exchange);
  folds[thread] = 0u;  // the first K tile's barrier comes before any fold
  int32_t mine[explicit_mining::kValuesPerThread] = {};
  const auto values = [&mine](int v) { return mine[v]; };

  accumulate_block_tile(
      shape_mnk, tiler, a, a_stride, a_layout, a_copy, a_atom, b, b_stride, b_layout, b_copy,
      b_atom, mma, static_cast<int>(tile_m), static_cast<int>(tile_n),
      [&](int k_pos, const auto& accumulators, const auto& coordinates) {
        if constexpr (!kDump) {
          if (k_pos % rank == 0) fold_into_owners(accumulators, coordinates, folds);
        }
      },
      [&](int k_pos, const auto& accumulators, const auto& coordinates) {
        if (k_pos % rank != 0) return;
        if constexpr (kDump) {
          regroup_accumulators(accumulators, coordinates, exchange, mine);
          epilogue.end_step(k_pos, values, positions);
        } else {
          const uint32_t fold = folds[thread];
          folds[thread] = 0u;
          // The fold stands for all the owner's values.
          epilogue.end_step<false>(
              k_pos, [fold](int v) { return v == 0 ? static_cast<int32_t>(fold) : 0; },
              positions);
        }
      });
  epilogue.finish(positions);
}

// The dump path out of line, so that its registers and stack do not weigh on
// the mining path's.
template <class Shape_, class Tiler, class AStride, class ALayout, class ACopy, class AAtom,
          class BStride, class BLayout, class BCopy, class BAtom, class Mma>
__device__ KORVATH_NOINLINE void mine_tile_with_dump(
    Shape_ shape_mnk, Tiler tiler, const int8_t* a, AStride a_stride, ALayout a_layout,
    ACopy a_copy, AAtom a_atom, const int8_t* b, BStride b_stride, BLayout b_layout, BCopy b_copy,
    BAtom b_atom, Mma mma, int32_t rank, MiningOutputs outputs, uint32_t tile_m, uint32_t tile_n,
    uint32_t tiles_m, int32_t* exchange) {
  mine_tile<true>(shape_mnk, tiler, a, a_stride, a_layout, a_copy, a_atom, b, b_stride, b_layout,
                  b_copy, b_atom, mma, rank, outputs, tile_m, tile_n, tiles_m, exchange);
}

// The mining kernel. Block b walks the tiles in groups of kTileGroup M tiles
// per N tile; blocks past the last M tile return before touching memory.
template <class Shape_, class Tiler, class AStride, class ALayout, class ACopy, class AAtom,
          class BStride, class BLayout, class BCopy, class BAtom, class Mma>
__global__ void __launch_bounds__(kThreads)
    headless_mine_kernel(Shape_ shape_mnk, Tiler tiler, const int8_t* a, AStride a_stride,
                         ALayout a_layout, ACopy a_copy, AAtom a_atom, const int8_t* b,
                         BStride b_stride, BLayout b_layout, BCopy b_copy, BAtom b_atom,
                         HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
                         const uint32_t* seed, Mma mma, int32_t rank,
                         VexalHeadlessJackpotDumpEntry* dump_entries, int32_t* dump_values,
                         uint32_t* dump_value_counts, int32_t dump_capacity, uint32_t* tiles,
                         int32_t tile_count, int32_t tile_first, uint32_t* tile_visits,
                         int32_t visit_capacity) {
  const int m = get<0>(shape_mnk);
  const int n = get<1>(shape_mnk);
  const uint32_t tiles_m = static_cast<uint32_t>(m / kTileM);
  const uint32_t tiles_n = static_cast<uint32_t>(n / kTileN);
  uint32_t tile_m;
  uint32_t tile_n;
  if (tiles != nullptr) {
    const int64_t entry = static_cast<int64_t>(tile_first) + blockIdx.x;
    if (entry >= tile_count) return;
    const uint32_t tile = tiles[entry];
    if (static_cast<uint64_t>(tile) >= static_cast<uint64_t>(tiles_m) * tiles_n) return;
    tile_m = tile % tiles_m;
    tile_n = tile / tiles_m;
  } else {
    const uint32_t group_blocks = kTileGroup * tiles_n;
    const uint32_t within = blockIdx.x % group_blocks;
    tile_m = (blockIdx.x / group_blocks) * kTileGroup + within % kTileGroup;
    tile_n = within / kTileGroup;
    if (tile_m >= tiles_m) return;
  }
  const int thread = static_cast<int>(threadIdx.x);
  const uint32_t tile_number = tile_n * tiles_m + tile_m;
  if (tile_visits != nullptr && thread == 0 &&
      static_cast<int64_t>(tile_number) < visit_capacity) {
    atomicAdd(&tile_visits[tile_number], 1u);
  }

  const MiningOutputs outputs{header,      sync,        target,           seed,
                              dump_entries, dump_values, dump_value_counts, dump_capacity};
  __shared__ int32_t exchange[kTileM * kRegroupColumns];
  const bool dump = dump_entries && dump_values && dump_value_counts && dump_capacity > 0;
  if (dump) {
    mine_tile_with_dump(shape_mnk, tiler, a, a_stride, a_layout, a_copy, a_atom, b, b_stride,
                        b_layout, b_copy, b_atom, mma, rank, outputs, tile_m, tile_n, tiles_m,
                        exchange);
  } else {
    mine_tile<false>(shape_mnk, tiler, a, a_stride, a_layout, a_copy, a_atom, b, b_stride,
                     b_layout, b_copy, b_atom, mma, rank, outputs, tile_m, tile_n, tiles_m,
                     exchange);
  }
}

// The mining kernel's product of the tile at the origin, written out with a
// count of the writes of every element.
template <class Shape_, class Tiler, class AStride, class ALayout, class ACopy, class AAtom,
          class BStride, class BLayout, class BCopy, class BAtom, class Mma>
__global__ void __launch_bounds__(kThreads)
    debug_gemm_tile_kernel(Shape_ shape_mnk, Tiler tiler, const int8_t* a, AStride a_stride,
                           ALayout a_layout, ACopy a_copy, AAtom a_atom, const int8_t* b,
                           BStride b_stride, BLayout b_layout, BCopy b_copy, BAtom b_atom,
                           int32_t* product, int32_t* counts, Mma mma) {
  const int64_t n = get<1>(shape_mnk);
  accumulate_block_tile(
      shape_mnk, tiler, a, a_stride, a_layout, a_copy, a_atom, b, b_stride, b_layout, b_copy,
      b_atom, mma, 0, 0,
      [&](int k_pos, const auto& accumulators, const auto& coordinates) {
        if (k_pos != get<2>(shape_mnk)) return;
        CUTE_UNROLL
        for (int v = 0; v < size(accumulators); ++v) {
          const int64_t at = get<0>(coordinates(v)) * n + get<1>(coordinates(v));
          product[at] = accumulators(v);
          counts[at] += 1;
        }
      },
      [](int, const auto&, const auto&) {});
}

// Where each thread of a mining block takes its values and candidates.
template <class Mma>
__global__ void dump_headless_coords_kernel(uint16_t* rows, uint16_t* cols, int32_t* meta, Mma) {
  static_assert(decltype(size(Mma{}))::value == explicit_mining::kThreads,
                "the mining block's threads");
  explicit_mining::dump_headless_coords(rows, cols, meta);
}

// The unit's own instances of the shared kernels.
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

// The transcripts are built inside the mining kernel; these stay empty.
__global__ void update_transcripts_kernel(const int32_t*, uint32_t*, const int32_t*,
                                          const int32_t*, const int32_t*, const int32_t*, int32_t,
                                          int32_t, int32_t, int32_t, int32_t, int32_t) {}

__global__ void check_transcripts_kernel(const uint32_t*, const int32_t*, const int32_t*,
                                         const int32_t*, const int32_t*, HostSignalHeader*,
                                         HostSignalSync*, const uint32_t*, const uint32_t*,
                                         int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                         int32_t, int32_t, int32_t, int32_t) {}

__global__ void check_headless_split_transcripts_kernel(const uint32_t*, int32_t, int32_t, int32_t,
                                                        int32_t, HostSignalHeader*,
                                                        HostSignalSync*, const uint32_t*,
                                                        const uint32_t*, int32_t, int32_t) {}

namespace {

constexpr auto kMineKernel =
    headless_mine_kernel<ProblemShape, BlockTile, OperandStride, SharedLayout, GlobalToShared,
                         SharedToRegister, OperandStride, SharedLayout, GlobalToShared,
                         SharedToRegister, TiledMma>;
constexpr auto kDebugTileKernel =
    debug_gemm_tile_kernel<ProblemShape, BlockTile, OperandStride, SharedLayout, GlobalToShared,
                           SharedToRegister, OperandStride, SharedLayout, GlobalToShared,
                           SharedToRegister, TiledMma>;
constexpr auto kCoordsKernel = dump_headless_coords_kernel<TiledMma>;

// Set before every launch: the stage's shared memory and the largest carveout.
cudaError_t set_block_attributes(const void* kernel) {
  const cudaError_t shared =
      cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, kDynamicSharedBytes);
  if (shared != cudaSuccess) return shared;
  return cudaFuncSetAttribute(kernel, cudaFuncAttributePreferredSharedMemoryCarveout,
                              kCarveoutPercent);
}

const MiningTileList kEveryTile{nullptr, 0, 0, nullptr, 0};

// Slot 4 on checked pointers, with the dump and the tile list as given.
cudaError_t mine(const int8_t* a, const int8_t* b, int m, int n, int k, HostSignalHeader* header,
                 HostSignalSync* sync, const uint32_t* target, const uint32_t* seed, int rank,
                 VexalHeadlessJackpotDumpEntry* entries, int32_t* values, uint32_t* value_counts,
                 int capacity, const MiningTileList& tile_list, cudaStream_t stream) {
  if (m < 1 || n < 1 || k < 1 || rank < 1) return cudaErrorInvalidValue;
  if (m % kTileM != 0 || n % kTileN != 0 || k % kTileK != 0 || rank % kTileK != 0) {
    return cudaErrorInvalidValue;
  }
  const int64_t tiles_m = m / kTileM;
  const int64_t tiles_n = n / kTileN;
  const int64_t blocks = (tiles_m + kTileGroup - 1) / kTileGroup * kTileGroup * tiles_n;
  // A grid wider than a launch allows cannot be tiled.
  if (blocks > INT32_MAX) return cudaErrorInvalidValue;
  const void* kernel = reinterpret_cast<const void*>(kMineKernel);
  const cudaError_t attributes = set_block_attributes(kernel);
  if (attributes != cudaSuccess) return attributes;
  launch_kernel(kMineKernel, dim3(static_cast<unsigned>(blocks), 1, 1), dim3(kThreads, 1, 1),
                kDynamicSharedBytes, stream, ProblemShape(m, n, k), BlockTile{}, a,
                OperandStride(k, _1{}), SharedLayout{}, GlobalToShared{}, SharedToRegister{}, b,
                OperandStride(k, _1{}), SharedLayout{}, GlobalToShared{}, SharedToRegister{},
                header, sync, target, seed, TiledMma{}, rank, entries, values, value_counts,
                capacity, tile_list.tiles, tile_list.count, tile_list.first, tile_list.visits,
                tile_list.visit_capacity);
  return cudaGetLastError();
}

cudaError_t mine_checked(const int8_t* a, const int8_t* b, int m, int n, int k,
                         HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
                         const uint32_t* seed, int rank, const MiningTileList& tile_list,
                         cudaStream_t stream) {
  if (!a || !b || !header || !sync || !target || !seed) return cudaErrorInvalidValue;
  return mine(a, b, m, n, k, header, sync, target, seed, rank, nullptr, nullptr, nullptr, 0,
              tile_list, stream);
}

// Steps shared by slots 5 and 6: the noise of A, then of B, each checked
// just before it is enqueued.
cudaError_t noise_both(const int8_t* a, const int8_t* b, const int8_t* a_left,
                       const int8_t* b_left, const int8_t* a_right, const int8_t* b_right,
                       int8_t* noised_a, int8_t* noised_b, int16_t* a_index0, int16_t* a_index1,
                       int16_t* b_index0, int16_t* b_index1, int m, int n, int k, int rank,
                       cudaStream_t stream) {
  if (!a || !a_left || !a_right || !noised_a || !a_index0 || !a_index1) {
    return cudaErrorInvalidValue;
  }
  if (m < 1 || k < 1 || rank < 1) return cudaErrorInvalidValue;
  cudaError_t error = headless_slots::sparse_noise_pair(
      extract_sparse_indices_kernel, apply_sparse_noise_kernel, kSparseNoiseColumns, a, a_left,
      a_right, noised_a, a_index0, a_index1, m, k, rank, stream);
  if (error != cudaSuccess) return error;
  if (!b || !b_left || !b_right || !noised_b || !b_index0 || !b_index1) {
    return cudaErrorInvalidValue;
  }
  if (n < 1) return cudaErrorInvalidValue;
  return headless_slots::sparse_noise_pair(extract_sparse_indices_kernel,
                                           apply_sparse_noise_kernel, kSparseNoiseColumns, b,
                                           b_left, b_right, noised_b, b_index0, b_index1, n, k,
                                           rank, stream);
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

cudaError_t launch_apply_sparse_noise(const int8_t* operand, const int8_t* left,
                                      const int8_t* right, int8_t* noised, int16_t* index0,
                                      int16_t* index1, int rows, int k, int rank,
                                      cudaStream_t stream) {
  return headless_slots::launch_apply_sparse_noise(
      extract_sparse_indices_kernel, apply_sparse_noise_kernel, kSparseNoiseColumns, operand,
      left, right, noised, index0, index1, rows, k, rank, stream);
}

cudaError_t launch_headless_mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                                 HostSignalHeader* header, HostSignalSync* sync,
                                 const uint32_t* target, const uint32_t* seed, int rank,
                                 cudaStream_t stream) {
  return mine_checked(a, b, m, n, k, header, sync, target, seed, rank, kEveryTile, stream);
}

cudaError_t launch_headless_mine_tiles(const int8_t* a, const int8_t* b, int m, int n, int k,
                                       HostSignalHeader* header, HostSignalSync* sync,
                                       const uint32_t* target, const uint32_t* seed, int rank,
                                       const MiningTileList& tile_list, cudaStream_t stream) {
  return mine_checked(a, b, m, n, k, header, sync, target, seed, rank, tile_list, stream);
}

cudaError_t launch_noise_and_mine(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                  const int8_t* b_left, const int8_t* a_right,
                                  const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                  int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                  int16_t* b_index1, int m, int n, int k, int rank,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed,
                                  cudaStream_t stream) {
  const cudaError_t noised = noise_both(a, b, a_left, b_left, a_right, b_right, noised_a, noised_b,
                                        a_index0, a_index1, b_index0, b_index1, m, n, k, rank,
                                        stream);
  if (noised != cudaSuccess) return noised;
  return mine_checked(noised_a, noised_b, m, n, k, header, sync, target, seed, rank, kEveryTile,
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
  const cudaError_t noised = noise_both(a, b, a_left, b_left, a_right, b_right, noised_a, noised_b,
                                        a_index0, a_index1, b_index0, b_index1, m, n, k, rank,
                                        stream);
  if (noised != cudaSuccess) return noised;
  if (!header || !sync || !target || !seed) return cudaErrorInvalidValue;
  if (!entries || !values || !value_counts || capacity < 1) return cudaErrorInvalidValue;
  return mine(noised_a, noised_b, m, n, k, header, sync, target, seed, rank, entries, values,
              value_counts, capacity, kEveryTile, stream);
}

cudaError_t launch_dump_headless_coords(uint16_t* rows, uint16_t* cols, int32_t* meta,
                                        cudaStream_t stream) {
  if (!cols || !meta || !rows) return cudaErrorInvalidValue;
  launch_kernel(kCoordsKernel, dim3(1, 1, 1), dim3(kThreads, 1, 1), 0, stream, rows, cols, meta,
                TiledMma{});
  return cudaGetLastError();
}

cudaError_t launch_debug_gemm_tile(const int8_t* a, const int8_t* b, int32_t* product,
                                   int32_t* counts, int m, int n, int k, cudaStream_t stream) {
  if (!a || !b || !product || !counts) return cudaErrorInvalidValue;
  if (m < kTileM || n < kTileN || k < 1 || k % kTileK != 0) return cudaErrorInvalidValue;
  const void* kernel = reinterpret_cast<const void*>(kDebugTileKernel);
  const cudaError_t attributes = set_block_attributes(kernel);
  if (attributes != cudaSuccess) return attributes;
  launch_kernel(kDebugTileKernel, dim3(1, 1, 1), dim3(kThreads, 1, 1), kDynamicSharedBytes,
                stream, ProblemShape(m, n, k), BlockTile{}, a, OperandStride(k, _1{}),
                SharedLayout{}, GlobalToShared{}, SharedToRegister{}, b, OperandStride(k, _1{}),
                SharedLayout{}, GlobalToShared{}, SharedToRegister{}, product, counts, TiledMma{});
  return cudaGetLastError();
}

uint64_t signal_header_bytes() { return headless_slots::signal_header_bytes(); }
uint64_t signal_sync_bytes() { return headless_slots::signal_sync_bytes(); }
int32_t tile_m() { return kTileM; }
int32_t tile_n() { return kTileN; }
int32_t tile_k() { return kTileK; }

}  // namespace vexal_turing
