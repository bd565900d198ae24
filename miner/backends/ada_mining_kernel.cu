// The ada backend: one block of eight warps (2 along m, 4 along n) mines a
// 128 x 256 tile of A'·B'ᵀ over the whole of k, 128 columns of k per step,
// streaming both operands through a two-stage cp.async pipeline into swizzled
// shared tiles, matrix loads and the m16n8k32 int8 tensor-core MMA. The
// kernels are CuTe templates whose atoms have host twins, so the same code
// runs on the host device.
#include "backends/ada_mining_kernel.h"

#include <cstdint>

#include "backends/grouped_tile_order.h"
#include "backends/headless_common.h"
#include "backends/mining_epilogue.h"
#include "backends/wide_tile_folds.h"
#include "core/gpu_platform.h"
#include "core/instructions/cute_twins.h"
#include "core/kernel_launch.h"
#include "tensor_hash/blake3_constants.h"

namespace vexal_ada {

namespace {

using namespace cute;

constexpr int kTileM = 128;
constexpr int kTileN = 256;
constexpr int kTileK = 128;
constexpr int kStages = 2;
constexpr int kThreads = 256;
constexpr int kMTileGroup = 64;
constexpr int kValuesPerThread = 128;
constexpr int kSharedBytesA = kTileM * kTileK * kStages;
constexpr int kSharedBytes = (kTileM + kTileN) * kTileK * kStages;  // 98304
constexpr int kCarveout = 100;

using ProblemShape = decltype(make_shape(int{}, int{}, int{}));
using BlockTile = Shape<Int<kTileM>, Int<kTileN>, Int<kTileK>>;
// Both operands are k-major (TN); 64-bit row strides keep large operands addressable.
using OperandStride = Stride<int64_t, _1>;
// 16 rows of 128 bytes whose 16-byte chunks are permuted by the row, so that
// the eight rows of one matrix load do not all hit the same banks.
using SharedAtom =
    decltype(composition(Swizzle<2, 4, 3>{}, Layout<Shape<_16, Int<kTileK>>, Stride<Int<kTileK>, _1>>{}));
using SharedLayoutA = decltype(tile_to_shape(SharedAtom{}, Shape<Int<kTileM>, Int<kTileK>, Int<kStages>>{}));
using SharedLayoutB = decltype(tile_to_shape(SharedAtom{}, Shape<Int<kTileN>, Int<kTileK>, Int<kStages>>{}));
// Each thread copies 16 bytes of one row, bypassing L1; one pass moves 32 rows of 128 bytes.
using GlobalToShared =
    decltype(make_tiled_copy(Copy_Atom<korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL<uint128_t>, int8_t>{},
                             Layout<Shape<_32, _8>, Stride<_8, _1>>{}, Layout<Shape<_1, _16>>{}));
using SharedToRegisterA = Copy_Atom<korvath_cute::SM75_U32x4_LDSM_N, int8_t>;
using SharedToRegisterB = Copy_Atom<korvath_cute::SM75_U32x2_LDSM_N, int8_t>;
using TiledMma = decltype(make_tiled_mma(korvath_cute::SM80_16x8x32_S32S8S8S32_TN{},
                                         Layout<Shape<_2, _4, _1>, Stride<_1, _2, _0>>{},
                                         Tile<_32, _32, _32>{}));

static_assert(cosize(SharedLayoutA{}) == kSharedBytesA, "two stages of 128 x 128 bytes");
static_assert(cosize(SharedLayoutB{}) == kSharedBytes - kSharedBytesA, "two stages of 256 x 128 bytes");
static_assert(size(TiledMma{}) == kThreads, "eight warps");

// The cells whose transcript mining thread t keeps (the layout the diagnostics
// replay): rows 64·g + o and 64·g + o + 32 with g = (t / 32) mod 2, o = t mod
// 32, and the 64 columns from 64·(t / 64); value v is row v / 64 of the pair,
// column v mod 64.
__host__ __device__ inline TilePosition candidate_position(int thread, int v) {
  const int row = 64 * ((thread / 32) % 2) + thread % 32 + 32 * (v / 64);
  const int col = 64 * (thread / 64) + v % 64;
  return TilePosition{static_cast<uint16_t>(row), static_cast<uint16_t>(col)};
}

// The mining thread whose transcript takes the cell (row, col), and the cell's
// value index there.
__host__ __device__ inline int candidate_thread_of(int row, int col) {
  return 64 * (col / 64) + 32 * (row / 64) + row % 32;
}
__host__ __device__ inline int candidate_value_of(int row, int col) {
  return 64 * ((row % 64) / 32) + col % 64;
}

// The block's product over k of the tile (tile_m, tile_n): k / 128 steps, each
// loaded into one of two shared stages while the other is multiplied, one
// block barrier per K tile. Every thread runs contribute(k_pos, set) once
// the accumulators hold the first k_pos columns, before the next K tile's
// MMAs change them (so that its register work fills the issue slots among
// those MMAs), and collect(k_pos, set) after the next barrier. The two sets
// of fold words alternate by K tile, so that a set is taken from while the
// other is added to; a set is added to again only after the barrier that
// follows its take.
template <class Problem, class CtaTiler, class AStride, class ASmem, class ACopy, class AS2R,
          class BStride, class BSmem, class BCopy, class BS2R, class Mma, class Accumulators,
          class Contribute, class Collect>
__device__ void accumulate_tile(int tile_m, int tile_n, Problem shape_mnk, CtaTiler cta_tiler,
                                const int8_t* a, AStride stride_a, ASmem smem_layout_a,
                                ACopy copy_a, AS2R s2r_atom_a, const int8_t* b, BStride stride_b,
                                BSmem smem_layout_b, BCopy copy_b, BS2R s2r_atom_b, Mma mma,
                                Accumulators& accumulators, const Contribute& contribute,
                                const Collect& collect) {
  const int thread = static_cast<int>(threadIdx.x);
  Tensor mA = make_tensor(make_gmem_ptr(a), select<0, 2>(shape_mnk), stride_a);  // (m, k)
  Tensor mB = make_tensor(make_gmem_ptr(b), select<1, 2>(shape_mnk), stride_b);  // (n, k)
  const auto cta_coord = make_coord(tile_m, tile_n, _);
  Tensor gA = local_tile(mA, cta_tiler, cta_coord, Step<_1, X, _1>{});  // (128, 128, k tiles)
  Tensor gB = local_tile(mB, cta_tiler, cta_coord, Step<X, _1, _1>{});  // (256, 128, k tiles)

  int8_t* shared = korvath_dynamic_shared<int8_t>();
  Tensor sA = make_tensor(make_smem_ptr(shared), smem_layout_a);                  // (128, 128, 2)
  Tensor sB = make_tensor(make_smem_ptr(shared + kSharedBytesA), smem_layout_b);  // (256, 128, 2)

  auto global_a = copy_a.get_slice(thread);
  auto global_b = copy_b.get_slice(thread);
  Tensor tAgA = global_a.partition_S(gA);
  Tensor tAsA = global_a.partition_D(sA);
  Tensor tBgB = global_b.partition_S(gB);
  Tensor tBsB = global_b.partition_D(sB);

  auto mma_thread = mma.get_slice(thread);
  Tensor tCrA = mma_thread.partition_fragment_A(sA(_, _, 0));
  Tensor tCrB = mma_thread.partition_fragment_B(sB(_, _, 0));
  auto s2r_a = make_tiled_copy_A(s2r_atom_a, mma);
  auto s2r_b = make_tiled_copy_B(s2r_atom_b, mma);
  auto s2r_a_thread = s2r_a.get_slice(thread);
  auto s2r_b_thread = s2r_b.get_slice(thread);
  Tensor tXsA = s2r_a_thread.partition_S(sA);
  Tensor tXrA = s2r_a_thread.retile_D(tCrA);
  Tensor tXsB = s2r_b_thread.partition_S(sB);
  Tensor tXrB = s2r_b_thread.retile_D(tCrB);

  const int k_tiles = static_cast<int>(size<2>(gA));
  copy(copy_a, tAgA(_, _, _, 0), tAsA(_, _, _, 0));
  copy(copy_b, tBgB(_, _, _, 0), tBsB(_, _, _, 0));
  korvath_cute::cp_async_fence();
  for (int k_tile = 0; k_tile < k_tiles; ++k_tile) {
    const int stage = k_tile % kStages;
    korvath_cute::cp_async_wait<0>();
    // The tile has landed for every thread, every thread is done with the
    // other stage and with the fold words it takes next.
    __syncthreads();
    if (k_tile + 1 < k_tiles) {
      copy(copy_a, tAgA(_, _, _, k_tile + 1), tAsA(_, _, _, stage ^ 1));
      copy(copy_b, tBgB(_, _, _, k_tile + 1), tBsB(_, _, _, stage ^ 1));
      korvath_cute::cp_async_fence();
    }
    collect((k_tile - 1) * kTileK, stage ^ 1);
    contribute(k_tile * kTileK, stage);
    CUTE_UNROLL
    for (int k_block = 0; k_block < size<2>(tCrA); ++k_block) {
      copy(s2r_a, tXsA(_, _, k_block, stage), tXrA(_, _, k_block));
      copy(s2r_b, tXsB(_, _, k_block, stage), tXrB(_, _, k_block));
      gemm(mma, tCrA(_, _, k_block), tCrB(_, _, k_block), accumulators);
    }
  }
  const int last = (k_tiles - 1) % kStages;
  __syncthreads();
  collect((k_tiles - 1) * kTileK, last);
  contribute(k_tiles * kTileK, last ^ 1);
  __syncthreads();
  collect(k_tiles * kTileK, last ^ 1);
}

// Jackpot dump: every accumulator into its mining thread's value record of
// this step, where that thread's epilogue reads it back after a barrier.
template <class Accumulators, class Coordinates>
__device__ void scatter_dump_values(const Accumulators& acc, const Coordinates& coordinates,
                                    int32_t* values, uint64_t first_entry_of_block, int steps,
                                    int step) {
  CUTE_UNROLL
  for (int i = 0; i < size(acc); ++i) {
    const int row = get<0>(coordinates(i));
    const int col = get<1>(coordinates(i));
    const uint64_t entry = first_entry_of_block +
                           static_cast<uint64_t>(candidate_thread_of(row, col)) * steps + step;
    values[entry * kValuesPerThread + candidate_value_of(row, col)] = acc(i);
  }
}

// kDump: the jackpot-dump variant. The second flag is not used by any variant.
template <bool kDump, bool kUnusedFlag, class Problem, class CtaTiler, class AStride, class ASmem,
          class ACopy, class AS2R, class BStride, class BSmem, class BCopy, class BS2R, class Mma>
__global__ void __launch_bounds__(kThreads)
    headless_mine_kernel(Problem shape_mnk, CtaTiler cta_tiler, const int8_t* a, AStride stride_a,
                         ASmem smem_layout_a, ACopy copy_a, AS2R s2r_atom_a, const int8_t* b,
                         BStride stride_b, BSmem smem_layout_b, BCopy copy_b, BS2R s2r_atom_b,
                         HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
                         const uint32_t* seed, Mma mma, int32_t rank,
                         VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                         uint32_t* value_counts, int32_t capacity, uint32_t* extra) {
  static_assert(!kUnusedFlag, "no variant sets the second flag");
  const int m = get<0>(shape_mnk);
  const int k = get<2>(shape_mnk);
  // Blocks run in groups of 64 M tiles, each group across every N tile, so
  // that the group's A rows stay in L2; the padding reads and writes nothing.
  const int tile_m_count = m / kTileM;
  uint32_t grouped_m = 0;
  uint32_t grouped_n = 0;
  if (!grouped_tile_order::tile_of_block(blockIdx.x, static_cast<uint32_t>(tile_m_count),
                                         static_cast<uint32_t>(get<1>(shape_mnk) / kTileN),
                                         kMTileGroup, &grouped_m, &grouped_n)) {
    return;
  }
  const int tile_m = static_cast<int>(grouped_m);
  const int tile_n = static_cast<int>(grouped_n);

  const int thread = static_cast<int>(threadIdx.x);
  __shared__ uint32_t folds[kStages][wide_tile_folds::kCandidates];
  folds[0][thread] = 0u;  // the pipeline's first barrier comes before any fold
  folds[1][thread] = 0u;

  const MiningOutputs outputs{header, sync, target, seed, entries, values, value_counts, capacity};
  MiningThreadPlace place;
  place.tile_m_index = static_cast<uint32_t>(tile_m);
  place.tile_n_index = static_cast<uint32_t>(tile_n);
  place.tile_m_count = static_cast<uint32_t>(tile_m_count);
  place.thread = thread;
  place.threads_per_block = kThreads;
  place.tile_height = kTileM;
  place.tile_width = kTileN;
  place.k = k;
  place.rank = rank;
  MiningEpilogue<kValuesPerThread> epilogue(outputs, place);
  const auto positions = [thread](int v) { return candidate_position(thread, v); };

  Tensor accumulators = partition_fragment_C(mma, select<0, 1>(cta_tiler));
  clear(accumulators);
  const int steps = k / rank;
  const uint64_t first_entry_of_block =
      (static_cast<uint64_t>(tile_m_count) * tile_n + tile_m) * kThreads * steps;

  // Whether this step's values go to the dump (the dump variant only).
  const auto dumping = [&](int step) {
    return kDump && entries && values && value_counts && step < capacity;
  };
  // Whether the accumulators have just ended a step (none has at k_pos 0).
  const auto step_end = [rank](int k_pos) { return k_pos > 0 && k_pos % rank == 0; };
  const auto contribute = [&](int k_pos, int set) {
    const bool ended = step_end(k_pos);
    if constexpr (kDump) {
      const int step = k_pos / rank - 1;
      if (ended && dumping(step)) {
        Tensor coordinates =
            mma.get_slice(thread).partition_C(make_identity_tensor(select<0, 1>(cta_tiler)));
        scatter_dump_values(accumulators, coordinates, values, first_entry_of_block, steps, step);
      }
    }
    // Every K tile, whether a step ended or not: no branch parts it from the MMAs.
    uint32_t lane[2][2];
    wide_tile_folds::lane_sums(accumulators, lane);
    if (ended) wide_tile_folds::add(lane, folds[set]);
  };
  const auto collect = [&](int k_pos, int set) {
    const bool ended = step_end(k_pos);
    const uint32_t fold = wide_tile_folds::take(folds[set]);  // 0 when nothing was added
    if constexpr (kDump) {
      const int step = k_pos / rank - 1;
      if (ended && dumping(step)) {
        // The scattered values, behind the step's barrier.
        const int32_t* own =
            values + (first_entry_of_block + static_cast<uint64_t>(thread) * steps + step) *
                         kValuesPerThread;
        epilogue.end_step(k_pos, [own](int v) { return own[v]; }, positions);
        return;
      }
    }
    // The folds stand for the cells: the fold is the step's only value.
    epilogue.end_step_if(ended, fold);
  };
  accumulate_tile(tile_m, tile_n, shape_mnk, cta_tiler, a, stride_a, smem_layout_a, copy_a,
                  s2r_atom_a, b, stride_b, smem_layout_b, copy_b, s2r_atom_b, mma, accumulators,
                  contribute, collect);
  epilogue.finish(positions);
  // extra counts the tiles mined on this workspace; the dump variant leaves it alone.
  if constexpr (!kDump) {
    if (extra != nullptr && thread == 0) atomicAdd(extra, 1u);
  }
}

// The tile at the origin with the mining kernel's configuration: each
// product element written once, and counted.
template <class Problem, class CtaTiler, class AStride, class ASmem, class ACopy, class AS2R,
          class BStride, class BSmem, class BCopy, class BS2R, class Mma>
__global__ void __launch_bounds__(kThreads)
    debug_gemm_tile_kernel(Problem shape_mnk, CtaTiler cta_tiler, const int8_t* a,
                           AStride stride_a, ASmem smem_layout_a, ACopy copy_a, AS2R s2r_atom_a,
                           const int8_t* b, BStride stride_b, BSmem smem_layout_b, BCopy copy_b,
                           BS2R s2r_atom_b, int32_t* product, int32_t* counts, Mma mma) {
  Tensor accumulators = partition_fragment_C(mma, select<0, 1>(cta_tiler));
  clear(accumulators);
  accumulate_tile(0, 0, shape_mnk, cta_tiler, a, stride_a, smem_layout_a, copy_a, s2r_atom_a, b,
                  stride_b, smem_layout_b, copy_b, s2r_atom_b, mma, accumulators,
                  [](int, int) {}, [](int, int) {});
  const auto product_stride = make_stride(static_cast<int64_t>(get<1>(shape_mnk)), _1{});
  Tensor mP = make_tensor(make_gmem_ptr(product), select<0, 1>(shape_mnk), product_stride);
  Tensor mC = make_tensor(make_gmem_ptr(counts), select<0, 1>(shape_mnk), product_stride);
  auto mma_thread = mma.get_slice(static_cast<int>(threadIdx.x));
  Tensor tPgP = mma_thread.partition_C(local_tile(mP, select<0, 1>(cta_tiler), make_coord(0, 0)));
  Tensor tCgC = mma_thread.partition_C(local_tile(mC, select<0, 1>(cta_tiler), make_coord(0, 0)));
  CUTE_UNROLL
  for (int i = 0; i < size(accumulators); ++i) {
    tPgP(i) = accumulators(i);
    tCgC(i) += 1;
  }
}

// Where each mining thread takes its transcript cells, as {row, column} within the block tile.
template <class Mma>
__global__ void dump_headless_coords_kernel(uint16_t* rows, uint16_t* cols, int32_t* meta, Mma) {
  static_assert(size(Mma{}) == kThreads, "one mining thread per MMA thread");
  const int thread = static_cast<int>(threadIdx.x);
  for (int v = 0; v < kValuesPerThread; ++v) {
    const TilePosition at = candidate_position(thread, v);
    rows[thread * 256 + v] = at.row;
    cols[thread * 256 + v] = at.col;
  }
  if (thread == 0) {
    meta[0] = kValuesPerThread;  // values per thread
    meta[1] = kThreads;          // thread count
  }
}

template <bool kDump>
constexpr auto mining_kernel =
    headless_mine_kernel<kDump, false, ProblemShape, BlockTile, OperandStride, SharedLayoutA,
                         GlobalToShared, SharedToRegisterA, OperandStride, SharedLayoutB,
                         GlobalToShared, SharedToRegisterB, TiledMma>;

constexpr auto debug_tile_kernel =
    debug_gemm_tile_kernel<ProblemShape, BlockTile, OperandStride, SharedLayoutA, GlobalToShared,
                           SharedToRegisterA, OperandStride, SharedLayoutB, GlobalToShared,
                           SharedToRegisterB, TiledMma>;

// The largest shared memory the kernel's launch needs, then the largest carveout.
template <typename Kernel>
cudaError_t set_shared_memory_attributes(Kernel kernel) {
  const void* handle = reinterpret_cast<const void*>(kernel);
  cudaError_t error =
      cudaFuncSetAttribute(handle, cudaFuncAttributeMaxDynamicSharedMemorySize, kSharedBytes);
  if (error != cudaSuccess) return error;
  return cudaFuncSetAttribute(handle, cudaFuncAttributePreferredSharedMemoryCarveout, kCarveout);
}

bool mining_shape_fits(int m, int n, int k, int rank) {
  return m % kTileM == 0 && n % kTileN == 0 && k % kTileK == 0 && rank % kTileK == 0;
}

// The one-dimensional grid, padded to whole groups of M tiles for every N
// tile; 0 when it would not fit the grid's x extent.
unsigned mining_grid(int m, int n) {
  const int64_t padded_m_tiles =
      (static_cast<int64_t>(m / kTileM) + kMTileGroup - 1) / kMTileGroup * kMTileGroup;
  const int64_t blocks = padded_m_tiles * (n / kTileN);
  return blocks > INT32_MAX ? 0u : static_cast<unsigned>(blocks);
}

// The mining launch on checked arguments.
template <bool kDump>
cudaError_t launch_mining(const int8_t* a, const int8_t* b, int m, int n, int k,
                          HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
                          const uint32_t* seed, int rank, VexalHeadlessJackpotDumpEntry* entries,
                          int32_t* values, uint32_t* value_counts, int capacity, uint32_t* extra,
                          cudaStream_t stream) {
  const unsigned blocks = mining_grid(m, n);
  if (blocks == 0) return cudaErrorInvalidValue;
  const cudaError_t error = set_shared_memory_attributes(mining_kernel<kDump>);
  if (error != cudaSuccess) return error;
  const OperandStride stride{static_cast<int64_t>(k), _1{}};
  launch_kernel(mining_kernel<kDump>, dim3(blocks, 1, 1), dim3(kThreads, 1, 1), kSharedBytes,
                stream, make_shape(m, n, k), BlockTile{}, a, stride, SharedLayoutA{},
                GlobalToShared{}, SharedToRegisterA{}, b, stride, SharedLayoutB{},
                GlobalToShared{}, SharedToRegisterB{}, header, sync, target, seed, TiledMma{},
                rank, entries, values, value_counts, capacity, extra);
  return cudaGetLastError();
}

}  // namespace

cudaError_t launch_fill_int8(int8_t* dst, int64_t count, uint64_t seed, cudaStream_t stream) {
  return headless_slots::common_fill_int8(dst, count, seed, stream);
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
  return headless_slots::common_apply_sparse_noise(operand, left, right, noised, index0, index1,
                                                   rows, k, rank, stream);
}

cudaError_t launch_headless_mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                                 HostSignalHeader* header, HostSignalSync* sync,
                                 const uint32_t* target, const uint32_t* seed, int rank,
                                 uint32_t* extra, cudaStream_t stream) {
  if (!a || !b || !header || !sync || !target || !seed) return cudaErrorInvalidValue;
  if (m < 1 || n < 1 || k < 1 || rank < 1) return cudaErrorInvalidValue;
  if (!mining_shape_fits(m, n, k, rank)) return cudaErrorInvalidValue;
  return launch_mining<false>(a, b, m, n, k, header, sync, target, seed, rank, nullptr, nullptr,
                              nullptr, 0, extra, stream);
}

cudaError_t launch_noise_and_mine(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                  const int8_t* b_left, const int8_t* a_right,
                                  const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                  int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                  int16_t* b_index1, int m, int n, int k, int rank,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed, uint32_t* extra,
                                  cudaStream_t stream) {
  const cudaError_t error = headless_slots::common_noise_both_operands(
      a, b, a_left, b_left, a_right, b_right, noised_a, noised_b, a_index0, a_index1, b_index0,
      b_index1, m, n, k, rank, stream);
  if (error != cudaSuccess) return error;
  return launch_headless_mine(noised_a, noised_b, m, n, k, header, sync, target, seed, rank, extra,
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
  const cudaError_t error = headless_slots::common_noise_both_operands(
      a, b, a_left, b_left, a_right, b_right, noised_a, noised_b, a_index0, a_index1, b_index0,
      b_index1, m, n, k, rank, stream);
  if (error != cudaSuccess) return error;
  if (!header || !sync || !target || !seed) return cudaErrorInvalidValue;
  if (!entries || !values || !value_counts || capacity < 1) return cudaErrorInvalidValue;
  if (!mining_shape_fits(m, n, k, rank)) return cudaErrorInvalidValue;
  return launch_mining<true>(noised_a, noised_b, m, n, k, header, sync, target, seed, rank,
                             entries, values, value_counts, capacity, nullptr, stream);
}

cudaError_t launch_dump_headless_coords(uint16_t* rows, uint16_t* cols, int32_t* meta,
                                        cudaStream_t stream) {
  if (!cols || !meta || !rows) return cudaErrorInvalidValue;
  launch_kernel(dump_headless_coords_kernel<TiledMma>, dim3(1, 1, 1), dim3(kThreads, 1, 1), 0,
                stream, rows, cols, meta, TiledMma{});
  return cudaGetLastError();
}

cudaError_t launch_debug_gemm_tile(const int8_t* a, const int8_t* b, int32_t* product,
                                   int32_t* counts, int m, int n, int k, cudaStream_t stream) {
  if (!a || !b || !product || !counts) return cudaErrorInvalidValue;
  if (m < kTileM || n < kTileN || k < 1 || k % kTileK != 0) return cudaErrorInvalidValue;
  const cudaError_t error = set_shared_memory_attributes(debug_tile_kernel);
  if (error != cudaSuccess) return error;
  const OperandStride stride{static_cast<int64_t>(k), _1{}};
  launch_kernel(debug_tile_kernel, dim3(1, 1, 1), dim3(kThreads, 1, 1), kSharedBytes, stream,
                make_shape(m, n, k), BlockTile{}, a, stride, SharedLayoutA{}, GlobalToShared{},
                SharedToRegisterA{}, b, stride, SharedLayoutB{}, GlobalToShared{},
                SharedToRegisterB{}, product, counts, TiledMma{});
  return cudaGetLastError();
}

uint64_t signal_header_bytes() { return headless_slots::signal_header_bytes(); }
uint64_t signal_sync_bytes() { return headless_slots::signal_sync_bytes(); }

}  // namespace vexal_ada
