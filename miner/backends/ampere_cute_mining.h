#pragma once
// The CuTe kernel bodies of the ampere and CMP 170HX tensor-core backends.
// One block of 128 threads (four warps, 2 x 2) multiplies one 128 x 128 tile
// of A' · B'ᵀ over the whole of k: K tiles stream through a multi-stage
// shared-memory pipeline of asynchronous copies, matrix loads feed the
// tensor cores. The two units differ only in their template arguments (K
// tile, stages, copies) and in how many M tiles one group of the grid covers.
//
// The MMA fragments spread a thread's accumulators over 8 rows and 16
// columns, four lanes to a row, while a candidate is a thread of the
// network's layout (explicit_mining::value_position: 2 rows x 64 columns),
// which every backend reports. So after every rank step each thread XORs its
// accumulators into the word of the thread that owns their cells in that
// layout (512 bytes of shared memory), and the owner runs the mining
// epilogue with that fold. With the jackpot dump on, each accumulator is
// first written to its owner's dump slot, and the owner reads its values
// back from there.
#include <cstdint>

#include <cute/tensor.hpp>

#include "backends/explicit_mining_kernels.h"
#include "backends/grouped_tile_order.h"
#include "backends/kernel_signal.h"
#include "backends/mining_epilogue.h"
#include "core/gpu_platform.h"
#include "core/instructions/cute_twins.h"

namespace ampere_cute {

constexpr int kThreads = 128;
constexpr int kTile = 128;  // block tile height and width
constexpr int kValuesPerThread = explicit_mining::kValuesPerThread;

// The one-dimensional grid covers, for every N tile, the M tiles in whole
// groups of `group`; consecutive blocks share their N tile.
using grouped_tile_order::padded_grid_blocks;
using grouped_tile_order::tile_of_block;

// The thread that owns a cell of the tile in the candidate layout, and the
// cell's index among that thread's values (the inverse of value_position).
__host__ __device__ inline int cell_owner(int row, int col) {
  return 64 * (col / 64) + 32 * (row / 64) + row % 32;
}
__host__ __device__ inline int cell_value_index(int row, int col) {
  return 64 * ((row / 32) % 2) + col % 64;
}

// XORs the thread's accumulators into their owners' words. The fragment of
// the 16 x 8 x 32 MMA with 2 x 2 warps over the 128 x 128 tile is
// ((column pair, row + 8), 4 M repeats of 32 rows, 8 N repeats of 16
// columns), and a thread's rows lie below 32 within a repeat and its columns
// below 16: so the cells of one row half, two consecutive M repeats (64 rows)
// and four consecutive N repeats (64 columns) share one owner, and each
// thread makes 8 shared-memory XORs instead of 128.
template <class Accumulators, class Cells>
__device__ void fold_into_owners(const Accumulators& accumulators, const Cells& cells,
                                 uint32_t* owner_folds) {
  using namespace cute;
  static_assert(decltype(size<0>(accumulators))::value == 4 &&
                    decltype(size<1>(accumulators))::value == 4 &&
                    decltype(size<2>(accumulators))::value == 8,
                "the fragment of the 2 x 2 warps' 16 x 8 x 32 MMA over a 128 x 128 tile");
  CUTE_UNROLL
  for (int row_group = 0; row_group < 2; ++row_group) {
    CUTE_UNROLL
    for (int col_group = 0; col_group < 2; ++col_group) {
      CUTE_UNROLL
      for (int row_half = 0; row_half < 2; ++row_half) {
        uint32_t fold = 0;
        CUTE_UNROLL
        for (int m = 2 * row_group; m < 2 * row_group + 2; ++m) {
          CUTE_UNROLL
          for (int n = 4 * col_group; n < 4 * col_group + 4; ++n) {
            fold ^= static_cast<uint32_t>(accumulators(make_coord(0, row_half), m, n)) ^
                    static_cast<uint32_t>(accumulators(make_coord(1, row_half), m, n));
          }
        }
        const auto cell = cells(make_coord(0, row_half), 2 * row_group, 4 * col_group);
        atomicXor(&owner_folds[cell_owner(get<0>(cell), get<1>(cell))], fold);
      }
    }
  }
}

// Accumulates the block tile (tile_m, tile_n) over the whole of k into the
// thread's fragment, calling after_k_tile(k_pos) on every thread once each K
// tile has been added (k_pos: the columns accumulated so far).
template <class ProblemShape, class CtaTiler, class AStride, class ASmemLayout, class G2SCopyA,
          class S2RAtomA, class BStride, class BSmemLayout, class G2SCopyB, class S2RAtomB,
          class TiledMma, class Accumulators, class AfterKTile>
__device__ void multiply_tile(ProblemShape shape, CtaTiler tiler, int tile_m, int tile_n,
                              const int8_t* a, AStride a_stride, ASmemLayout a_layout,
                              G2SCopyA a_copy, S2RAtomA a_load, const int8_t* b, BStride b_stride,
                              BSmemLayout b_layout, G2SCopyB b_copy, S2RAtomB b_load,
                              TiledMma mma, Accumulators& accumulators, AfterKTile&& after_k_tile) {
  using namespace cute;
  const int thread = static_cast<int>(threadIdx.x);
  constexpr int kStages = size<2>(ASmemLayout{});
  constexpr int kTileK = size<2>(CtaTiler{});

  Tensor a_global = make_tensor(make_gmem_ptr(a), select<0, 2>(shape), a_stride);
  Tensor b_global = make_tensor(make_gmem_ptr(b), select<1, 2>(shape), b_stride);
  const auto block = make_coord(tile_m, tile_n, _);
  Tensor a_tiles = local_tile(a_global, tiler, block, Step<_1, X, _1>{});  // (BM, BK, k tiles)
  Tensor b_tiles = local_tile(b_global, tiler, block, Step<X, _1, _1>{});  // (BN, BK, k tiles)

  int8_t* shared = korvath_dynamic_shared<int8_t>();
  Tensor a_shared = make_tensor(make_smem_ptr(shared), a_layout);  // (BM, BK, stages)
  Tensor b_shared = make_tensor(make_smem_ptr(shared + size(a_layout)), b_layout);

  auto a_copy_thread = a_copy.get_slice(thread);
  auto b_copy_thread = b_copy.get_slice(thread);
  Tensor a_copy_source = a_copy_thread.partition_S(a_tiles);
  Tensor a_copy_target = a_copy_thread.partition_D(a_shared);
  Tensor b_copy_source = b_copy_thread.partition_S(b_tiles);
  Tensor b_copy_target = b_copy_thread.partition_D(b_shared);

  auto mma_thread = mma.get_slice(thread);
  Tensor a_fragment = mma_thread.partition_fragment_A(a_shared(_, _, 0));
  Tensor b_fragment = mma_thread.partition_fragment_B(b_shared(_, _, 0));
  auto a_loader = make_tiled_copy_A(a_load, mma);
  auto b_loader = make_tiled_copy_B(b_load, mma);
  auto a_loader_thread = a_loader.get_slice(thread);
  auto b_loader_thread = b_loader.get_slice(thread);
  Tensor a_load_source = a_loader_thread.partition_S(a_shared);
  Tensor a_load_target = a_loader_thread.retile_D(a_fragment);
  Tensor b_load_source = b_loader_thread.partition_S(b_shared);
  Tensor b_load_target = b_loader_thread.retile_D(b_fragment);

  const int k_tiles = static_cast<int>(size<2>(a_tiles));
  // One copy group per K tile, empty past the end, so that the group count
  // tells which tiles have landed.
  for (int tile = 0; tile < kStages - 1; ++tile) {
    if (tile < k_tiles) {
      copy(a_copy, a_copy_source(_, _, _, tile), a_copy_target(_, _, _, tile));
      copy(b_copy, b_copy_source(_, _, _, tile), b_copy_target(_, _, _, tile));
    }
    korvath_cute::cp_async_fence();
  }
  for (int tile = 0; tile < k_tiles; ++tile) {
    korvath_cute::cp_async_wait<kStages - 2>();
    // Tile `tile` is visible to all, and every thread is done with the stage
    // that the next copy overwrites.
    __syncthreads();
    const int ahead = tile + kStages - 1;
    if (ahead < k_tiles) {
      copy(a_copy, a_copy_source(_, _, _, ahead), a_copy_target(_, _, _, ahead % kStages));
      copy(b_copy, b_copy_source(_, _, _, ahead), b_copy_target(_, _, _, ahead % kStages));
    }
    korvath_cute::cp_async_fence();
    const int stage = tile % kStages;
    CUTE_UNROLL
    for (int k_block = 0; k_block < size<2>(a_fragment); ++k_block) {
      copy(a_loader, a_load_source(_, _, k_block, stage), a_load_target(_, _, k_block));
      copy(b_loader, b_load_source(_, _, k_block, stage), b_load_target(_, _, k_block));
      gemm(mma, a_fragment(_, _, k_block), b_fragment(_, _, k_block), accumulators);
    }
    after_k_tile((tile + 1) * kTileK);
  }
  korvath_cute::cp_async_wait<0>();
}

// The mining block: its tile's accumulation, a transcript step per rank
// columns, and the candidate test at the end.
template <bool kDump, int kGroup, class ProblemShape, class CtaTiler, class AStride,
          class ASmemLayout, class G2SCopyA, class S2RAtomA, class BStride, class BSmemLayout,
          class G2SCopyB, class S2RAtomB, class TiledMma>
__device__ void mine_block(ProblemShape shape, CtaTiler tiler, const int8_t* a, AStride a_stride,
                           ASmemLayout a_layout, G2SCopyA a_copy, S2RAtomA a_load,
                           const int8_t* b, BStride b_stride, BSmemLayout b_layout,
                           G2SCopyB b_copy, S2RAtomB b_load, HostSignalHeader* header,
                           HostSignalSync* sync, const uint32_t* target, const uint32_t* seed,
                           TiledMma mma, int32_t rank, VexalHeadlessJackpotDumpEntry* entries,
                           int32_t* values, uint32_t* value_counts, int32_t capacity) {
  using namespace cute;
  static_assert(decltype(size(TiledMma{}))::value == kThreads, "four warps per block");
  const int m = get<0>(shape);
  const int n = get<1>(shape);
  const int k = get<2>(shape);
  const uint32_t tiles_m = static_cast<uint32_t>(m / kTile);
  uint32_t tile_m = 0;
  uint32_t tile_n = 0;
  if (!tile_of_block(blockIdx.x, tiles_m, static_cast<uint32_t>(n / kTile), kGroup, &tile_m,
                     &tile_n)) {
    return;
  }

  __shared__ uint32_t owner_folds[kThreads];
  const int thread = static_cast<int>(threadIdx.x);
  MiningOutputs outputs{header, sync, target, seed, nullptr, nullptr, nullptr, 0};
  if constexpr (kDump) {
    outputs.entries = entries;
    outputs.values = values;
    outputs.value_counts = value_counts;
    outputs.capacity = capacity;
  }
  MiningThreadPlace place;
  place.tile_m_index = tile_m;
  place.tile_n_index = tile_n;
  place.tile_m_count = tiles_m;
  place.thread = thread;
  place.threads_per_block = kThreads;
  place.tile_height = kTile;
  place.tile_width = kTile;
  place.k = k;
  place.rank = rank;
  MiningEpilogue<kValuesPerThread> epilogue(outputs, place);
  const auto positions = [thread](int v) { return explicit_mining::value_position(thread, v); };

  Tensor accumulators = partition_fragment_C(mma, select<0, 1>(tiler));
  clear(accumulators);
  Tensor cells = mma.get_slice(thread).partition_C(make_identity_tensor(select<0, 1>(tiler)));

  const auto after_k_tile = [&](int k_pos) {
    if (k_pos % rank != 0) return;
    owner_folds[thread] = 0u;
    __syncthreads();
    bool dump_step = false;
    uint64_t block_entries = 0;  // the dump entry of (this block, thread 0, this step)
    const uint64_t steps = static_cast<uint64_t>(k / rank);
    if constexpr (kDump) {
      const int step = k_pos / rank - 1;
      dump_step = entries && values && value_counts && capacity > 0 && step < capacity;
      block_entries = (static_cast<uint64_t>(tiles_m) * tile_n + tile_m) * kThreads * steps +
                      static_cast<uint64_t>(step);
    }
    fold_into_owners(accumulators, cells, owner_folds);
    if constexpr (kDump) {
      if (dump_step) {
        CUTE_UNROLL
        for (int v = 0; v < size(accumulators); ++v) {
          const int row = get<0>(cells(v));
          const int col = get<1>(cells(v));
          const uint64_t entry = block_entries + static_cast<uint64_t>(cell_owner(row, col)) * steps;
          values[entry * kValuesPerThread + cell_value_index(row, col)] = accumulators(v);
        }
      }
    }
    __syncthreads();
    const uint32_t fold = owner_folds[thread];
    if constexpr (kDump) {
      if (dump_step) {
        const int32_t* own_values =
            values + (block_entries + static_cast<uint64_t>(thread) * steps) * kValuesPerThread;
        epilogue.end_step(k_pos, [own_values](int v) { return own_values[v]; }, positions);
        return;
      }
    }
    // The epilogue XORs the values it is given: the fold stands for all of them.
    epilogue.end_step<false>(k_pos,
                             [fold](int v) { return v == 0 ? static_cast<int32_t>(fold) : 0; },
                             positions);
  };
  multiply_tile(shape, tiler, static_cast<int>(tile_m), static_cast<int>(tile_n), a, a_stride,
                a_layout, a_copy, a_load, b, b_stride, b_layout, b_copy, b_load, mma, accumulators,
                after_k_tile);
  epilogue.finish(positions);
}

// The debug GEMM tile: the block tile at the origin with the mining
// configuration, each element written once into product and counted.
template <class ProblemShape, class CtaTiler, class AStride, class ASmemLayout, class G2SCopyA,
          class S2RAtomA, class BStride, class BSmemLayout, class G2SCopyB, class S2RAtomB,
          class TiledMma>
__device__ void debug_tile(ProblemShape shape, CtaTiler tiler, const int8_t* a, AStride a_stride,
                           ASmemLayout a_layout, G2SCopyA a_copy, S2RAtomA a_load,
                           const int8_t* b, BStride b_stride, BSmemLayout b_layout,
                           G2SCopyB b_copy, S2RAtomB b_load, int32_t* product, int32_t* counts,
                           TiledMma mma) {
  using namespace cute;
  const int n = get<1>(shape);
  const int thread = static_cast<int>(threadIdx.x);
  Tensor accumulators = partition_fragment_C(mma, select<0, 1>(tiler));
  clear(accumulators);
  Tensor cells = mma.get_slice(thread).partition_C(make_identity_tensor(select<0, 1>(tiler)));
  multiply_tile(shape, tiler, 0, 0, a, a_stride, a_layout, a_copy, a_load, b, b_stride, b_layout,
                b_copy, b_load, mma, accumulators, [](int) {});
  CUTE_UNROLL
  for (int v = 0; v < size(accumulators); ++v) {
    const int64_t at = static_cast<int64_t>(get<0>(cells(v))) * n + get<1>(cells(v));
    product[at] = accumulators(v);
    counts[at] += 1;
  }
}

// The coordinate dump: the cells each thread reports as a candidate.
template <class TiledMma>
__device__ void dump_coords(uint16_t* rows, uint16_t* cols, int32_t* meta, TiledMma) {
  static_assert(decltype(cute::size(TiledMma{}))::value == kThreads, "four warps per block");
  explicit_mining::dump_headless_coords(rows, cols, meta);
}

}  // namespace ampere_cute
