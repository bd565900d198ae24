#pragma once
// What the sm120 and native Blackwell units share: the 128 x 256 x 128 tile
// on eight warps, its candidates, and the device bodies around the tile
// product. Each unit supplies that product (how its operand tiles reach shared
// memory) and carries its own kernels, which call these bodies.
//
// The warps' accumulator layout scatters one candidate's cells over sixteen
// threads, whereas the network's candidate is two rows and 64 columns. After
// every rank step the threads therefore XOR their values into per-candidate
// folds in shared memory (wide_tile_folds.h), and thread c keeps the
// transcript of candidate c: rows 64·g + o and 64·g + o + 32, columns 64·q to
// 64·q + 63, with o = c mod 32, g = (c / 32) mod 2, q = c / 64.
#include <cstdint>

#include "backends/grouped_tile_order.h"
#include "backends/headless_common.h"
#include "backends/mining_epilogue.h"
#include "backends/wide_tile_folds.h"
#include "core/instructions/cute_twins.h"

namespace blackwell_tile {

using namespace cute;

constexpr int kTileM = 128;
constexpr int kTileN = 256;
constexpr int kTileK = 128;
constexpr int kThreads = 256;
constexpr int kValuesPerThread = kTileM * kTileN / kThreads;
constexpr int kCandidateColumns = kValuesPerThread / 2;
constexpr int kStageBytesA = kTileM * kTileK;
constexpr int kStageBytesB = kTileN * kTileK;
// M tiles walked across the N tiles together: 32 MiB of A at k = 4096, which
// an RTX 5090's 96 MB L2 keeps while B streams past. It divides the grid's
// padding of 128.
constexpr uint32_t kL2Group = 64;

using ProblemShape = cute::tuple<int, int, int>;
using CtaTiler = Shape<Int<kTileM>, Int<kTileN>, Int<kTileK>>;
using OperandStride = cute::Stride<int, _1>;
// 256 threads, 16 bytes each: 32 rows of 128 bytes per copy step.
using GlobalToShared = decltype(make_tiled_copy(
    Copy_Atom<korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL<cute::uint128_t>, int8_t>{},
    Layout<Shape<_32, _8>, Stride<_8, _1>>{}, Layout<Shape<_1, _16>>{}));
using SharedToRegisterA = Copy_Atom<korvath_cute::SM75_U32x4_LDSM_N, int8_t>;
using SharedToRegisterB = Copy_Atom<korvath_cute::SM75_U32x2_LDSM_N, int8_t>;
using TiledMma = decltype(make_tiled_mma(korvath_cute::SM80_16x8x32_S32S8S8S32_TN{},
                                         Layout<Shape<_2, _4, _1>>{}, Tile<_32, _32, _32>{}));

// Value v of candidate c (v < 64 on its first row, the rest on its second).
__host__ __device__ inline TilePosition candidate_position(int candidate, int v) {
  const int row = 64 * ((candidate / 32) % 2) + candidate % 32 + 32 * (v / kCandidateColumns);
  const int col = kCandidateColumns * (candidate / 64) + v % kCandidateColumns;
  return TilePosition{static_cast<uint16_t>(row), static_cast<uint16_t>(col)};
}

__device__ inline int candidate_of(int row, int col) {
  return (row / 64 + 2 * (col / kCandidateColumns)) * 32 + row % 32;
}

__device__ inline int candidate_slot(int row, int col) {
  return (row % 64) / 32 * kCandidateColumns + col % kCandidateColumns;
}

// cp.async loads of both tiles: 256 threads, 32 rows of 128 bytes per step.
template <class SourceA, class TargetA, class SourceB, class TargetB>
struct CpAsyncLoader {
  GlobalToShared copy_unit;
  SourceA from_a;
  TargetA to_a;
  SourceB from_b;
  TargetB to_b;

  __device__ void start() {
    load(0, 0);
  }
  __device__ void load(int k_tile, int stage) {
    copy(copy_unit, from_a(_, _, _, k_tile), to_a(_, _, _, stage));
    copy(copy_unit, from_b(_, _, _, k_tile), to_b(_, _, _, stage));
    korvath_cute::cp_async_fence();
  }
  // The tile's copies are the only ones in flight.
  __device__ void wait(int /*k_tile*/) { korvath_cute::cp_async_wait<0>(); }
};

template <class SourceA, class TargetA, class SourceB, class TargetB>
__device__ CpAsyncLoader<SourceA, TargetA, SourceB, TargetB> make_cp_async_loader(
    SourceA from_a, TargetA to_a, SourceB from_b, TargetB to_b) {
  return {GlobalToShared{}, from_a, to_a, from_b, to_b};
}

// The loader factory of cp.async tiles.
struct CpAsyncLoads {
  template <class GlobalA, class SharedA, class GlobalB, class SharedB>
  __device__ auto operator()(GlobalA& gA, SharedA& sA, GlobalB& gB, SharedB& sB, int8_t*) const {
    GlobalToShared global_copy;
    auto copy_thread = global_copy.get_slice(threadIdx.x);
    return make_cp_async_loader(copy_thread.partition_S(gA), copy_thread.partition_D(sA),
                                copy_thread.partition_S(gB), copy_thread.partition_D(sB));
  }
};

// The 128 x 256 product of tile (tile_m, tile_n) over all of k into the
// accumulators, two K tiles in flight in the unit's shared layouts, loaded
// by make_loader(gA, sA, gB, sB, shared); a K tile's copy is issued once the
// barrier at the start of the K tile before has freed its stage. Every thread
// runs contribute(k_pos, set) once the accumulators hold the first k_pos
// columns, before the next K tile's MMAs change them (so that its register
// work fills the issue slots among those MMAs), and collect(k_pos, set) after
// the next barrier. With two sets of fold words (kFoldSets), alternating by
// K tile, a set is taken from while the other is added to, and one barrier a
// K tile does; with one set, a second barrier parts the takes from the adds.
template <int kFoldSets, class LayoutA, class LayoutB, class Accumulators, class LoaderFactory,
          class Contribute, class Collect>
__device__ void multiply_tile(ProblemShape shape, const int8_t* a, OperandStride a_stride,
                              const int8_t* b, OperandStride b_stride, int tile_m, int tile_n,
                              Accumulators& accumulators, LoaderFactory&& make_loader,
                              Contribute&& contribute, Collect&& collect) {
  static_assert(kFoldSets == 1 || kFoldSets == 2, "one set of fold words, or one per stage");
  const int thread = static_cast<int>(threadIdx.x);
  const int k = get<2>(shape);
  Tensor mA = make_tensor(make_gmem_ptr(a), make_shape(get<0>(shape), k), a_stride);
  Tensor mB = make_tensor(make_gmem_ptr(b), make_shape(get<1>(shape), k), b_stride);
  Tensor gA = local_tile(mA, make_shape(Int<kTileM>{}, Int<kTileK>{}), make_coord(tile_m, _));
  Tensor gB = local_tile(mB, make_shape(Int<kTileN>{}, Int<kTileK>{}), make_coord(tile_n, _));
  int8_t* shared = korvath_dynamic_shared<int8_t>();
  Tensor sA = make_tensor(make_smem_ptr(shared), LayoutA{});
  Tensor sB = make_tensor(make_smem_ptr(shared + 2 * kStageBytesA), LayoutB{});
  auto loader = make_loader(gA, sA, gB, sB, shared);

  TiledMma mma;
  auto mma_thread = mma.get_slice(thread);
  Tensor fragment_a = mma_thread.partition_fragment_A(sA(_, _, 0));
  Tensor fragment_b = mma_thread.partition_fragment_B(sB(_, _, 0));
  auto copy_a = make_tiled_copy_A(SharedToRegisterA{}, mma);
  auto copy_b = make_tiled_copy_B(SharedToRegisterB{}, mma);
  auto copy_a_thread = copy_a.get_slice(thread);
  auto copy_b_thread = copy_b.get_slice(thread);
  Tensor shared_a = copy_a_thread.partition_S(sA);
  Tensor shared_b = copy_b_thread.partition_S(sB);
  Tensor registers_a = copy_a_thread.retile_D(fragment_a);
  Tensor registers_b = copy_b_thread.retile_D(fragment_b);

  const int k_tiles = k / kTileK;
  loader.start();
  for (int k_tile = 0; k_tile < k_tiles; ++k_tile) {
    const int stage = k_tile & 1;
    loader.wait(k_tile);
    // The tile has landed for every thread, every thread is done with the
    // other stage and has added to the fold words taken next.
    __syncthreads();
    if (k_tile + 1 < k_tiles) loader.load(k_tile + 1, stage ^ 1);
    collect((k_tile - 1) * kTileK, (k_tile + 1) % kFoldSets);
    if constexpr (kFoldSets == 1) __syncthreads();  // every take before the next adds
    contribute(k_tile * kTileK, k_tile % kFoldSets);
    CUTE_UNROLL
    for (int k_block = 0; k_block < size<2>(fragment_a); ++k_block) {
      copy(copy_a, shared_a(_, _, k_block, stage), registers_a(_, _, k_block));
      copy(copy_b, shared_b(_, _, k_block, stage), registers_b(_, _, k_block));
      gemm(mma, fragment_a(_, _, k_block), fragment_b(_, _, k_block), accumulators);
    }
  }
  __syncthreads();
  collect((k_tiles - 1) * kTileK, (k_tiles - 1) % kFoldSets);
  if constexpr (kFoldSets == 1) __syncthreads();
  contribute(k_tiles * kTileK, k_tiles % kFoldSets);
  __syncthreads();
  collect(k_tiles * kTileK, k_tiles % kFoldSets);
}

// One block's mining: the product of its tile over all of k, through the
// unit's multiply(tile_m, tile_n, accumulators, contribute, collect), folded into
// the candidates' transcripts after every rank step, with the jackpot dump.
template <bool kJackpotDump, int kFoldSets, class Multiply>
__device__ inline void mine_block(ProblemShape shape, int rank, HostSignalHeader* header,
                                  HostSignalSync* sync, const uint32_t* target,
                                  const uint32_t* seed, VexalHeadlessJackpotDumpEntry* entries,
                                  int* values, uint32_t* value_counts, int capacity,
                                  Multiply&& multiply) {
  const int m = get<0>(shape);
  const int k = get<2>(shape);
  // The grid counts M tiles in groups of 128; blocks past the last tile do
  // nothing. Blocks walk groups of kL2Group M tiles across every N tile, so
  // that the group's A rows stay in L2 while B streams past.
  const int tiles_m = m / kTileM;
  uint32_t grouped_m = 0;
  uint32_t grouped_n = 0;
  if (!grouped_tile_order::tile_of_block(blockIdx.x, static_cast<uint32_t>(tiles_m),
                                         static_cast<uint32_t>(get<1>(shape) / kTileN), kL2Group,
                                         &grouped_m, &grouped_n)) {
    return;
  }
  const int tile_m = static_cast<int>(grouped_m);
  const int tile_n = static_cast<int>(grouped_n);
  const int thread = static_cast<int>(threadIdx.x);

  MiningThreadPlace place;
  place.tile_m_index = static_cast<uint32_t>(tile_m);
  place.tile_n_index = static_cast<uint32_t>(tile_n);
  place.tile_m_count = static_cast<uint32_t>(tiles_m);
  place.thread = thread;
  place.threads_per_block = kThreads;
  place.tile_height = kTileM;
  place.tile_width = kTileN;
  place.k = k;
  place.rank = rank;
  // The candidate's values live in other threads: the epilogue sees its fold
  // only (all a transcript takes of them) and the dump is written below.
  const MiningOutputs outputs{header, sync, target, seed, nullptr, nullptr, nullptr, 0};
  MiningEpilogue<kValuesPerThread> epilogue(outputs, place);
  const auto candidate_positions = [thread](int v) { return candidate_position(thread, v); };

  const bool dump = kJackpotDump && entries && values && value_counts && capacity > 0;
  const uint64_t steps = static_cast<uint64_t>(k / rank);
  const uint64_t first_candidate =
      (static_cast<uint64_t>(tiles_m) * tile_n + tile_m) * static_cast<uint64_t>(kThreads);
  __shared__ uint32_t folds[kFoldSets][wide_tile_folds::kCandidates];
  // The pipeline's first barrier comes before any fold.
  CUTE_UNROLL
  for (int set = 0; set < kFoldSets; ++set) folds[set][thread] = 0u;

  TiledMma mma;
  auto mma_thread = mma.get_slice(thread);
  Tensor accumulators = partition_fragment_C(mma, Shape<Int<kTileM>, Int<kTileN>>{});
  Tensor coordinates = mma_thread.partition_C(make_identity_tensor(Shape<Int<kTileM>, Int<kTileN>>{}));
  // Atom values (4), M repeats (4), N repeats (8): values 2h and 2h + 1 are
  // neighbouring columns, M repeats 2g and 2g + 1 are rows 32 apart and N
  // repeats 2q and 2q + 1 columns 32 apart, so each (h, g, q) is one candidate's.
  static_assert(decltype(size<0>(accumulators))::value == 4 &&
                    decltype(size<1>(accumulators))::value == 4 &&
                    decltype(size<2>(accumulators))::value == 8,
                "accumulator fragment of the 2 x 4 warp layout");
  clear(accumulators);

  // Whether the accumulators have just ended a step (none has at k_pos 0).
  const auto step_end = [rank](int k_pos) { return k_pos > 0 && k_pos % rank == 0; };
  const auto contribute = [&](int k_pos, int set) {
    const bool ended = step_end(k_pos);
    // Every K tile, whether a step ended or not: no branch parts it from the MMAs.
    uint32_t lane[2][2];
    wide_tile_folds::lane_sums(accumulators, lane);
    if (ended) wide_tile_folds::add(lane, folds[set]);
    if constexpr (kJackpotDump) {
      const int step = k_pos / rank - 1;
      if (ended && dump && step < capacity) {
        // Each thread files its own values under their candidates.
        CUTE_UNROLL
        for (int v = 0; v < size(accumulators); ++v) {
          const auto at = coordinates(v);
          const int row = get<0>(at);
          const int col = get<1>(at);
          const uint64_t entry = (first_candidate + candidate_of(row, col)) * steps + step;
          const uint64_t slot = entry * kValuesPerThread + candidate_slot(row, col);
          values[slot] = accumulators(v);
          value_counts[slot] += 1u;
        }
      }
    }
  };
  const auto collect = [&](int k_pos, int set) {
    const bool ended = step_end(k_pos);
    const uint32_t fold = wide_tile_folds::take(folds[set]);  // 0 when nothing was added
    epilogue.end_step_if(ended, fold);
    if constexpr (kJackpotDump) {
      const int step = k_pos / rank - 1;
      if (ended && dump && step < capacity) {
        VexalHeadlessJackpotDumpEntry record;
        record.block_x = blockIdx.x;
        record.block_y = blockIdx.y;
        record.k_tile = static_cast<uint32_t>(k_pos / 64 - 1);
        record.transcript_index = static_cast<uint32_t>(transcript_index(k_pos, rank));
        record.xored_tile = fold;
        record.transcript_word = epilogue.last_word();
        record.k_pos = static_cast<uint32_t>(k_pos);
        entries[(first_candidate + thread) * steps + step] = record;
      }
    }
  };
  multiply(tile_m, tile_n, accumulators, contribute, collect);

  epilogue.finish(candidate_positions);
}

// The tile at the origin over all of k, through the unit's
// multiply(accumulators), each cell written once.
template <class Multiply>
__device__ inline void debug_tile(ProblemShape shape, int* product, int* counts,
                                  Multiply&& multiply) {
  const int n = get<1>(shape);
  TiledMma mma;
  auto mma_thread = mma.get_slice(threadIdx.x);
  Tensor accumulators = partition_fragment_C(mma, Shape<Int<kTileM>, Int<kTileN>>{});
  Tensor coordinates = mma_thread.partition_C(make_identity_tensor(Shape<Int<kTileM>, Int<kTileN>>{}));
  clear(accumulators);
  multiply(accumulators);
  for (int v = 0; v < size(accumulators); ++v) {
    const auto at = coordinates(v);
    const int64_t cell = static_cast<int64_t>(get<0>(at)) * n + get<1>(at);
    product[cell] = accumulators(v);
    counts[cell] += 1;
  }
}

// The cells of each candidate thread, in its transcript's value order.
__device__ inline void dump_coords(uint16_t* rows, uint16_t* cols, int* meta) {
  const int thread = static_cast<int>(threadIdx.x);
  for (int v = 0; v < kValuesPerThread; ++v) {
    const TilePosition at = candidate_position(thread, v);
    rows[thread * 256 + v] = at.row;
    cols[thread * 256 + v] = at.col;
  }
  if (thread == 0) {
    meta[0] = kValuesPerThread;
    meta[1] = kThreads;
  }
}

}  // namespace blackwell_tile
