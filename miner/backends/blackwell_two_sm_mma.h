#pragma once
// The mining body of the B200 and B300 kernels on the two-SM tensor-core MMA.
//
// A (2, 2, 1) cluster holds two CTA pairs: ranks 2y and 2y + 1 form pair y and
// share one M tile of 256 rows (CTA x mines rows 128·x to 128·x + 127), the
// two pairs take neighbouring N tiles. Every stage of shared memory holds a
// K tile (128 bytes of each row): the CTA's 128 rows of A, loaded once by the
// pair-0 CTA and multicast to its pair-1 twin, and the CTA's half of the
// pair's B rows. The even CTA of a pair issues the MMAs for both; the product
// lands in each CTA's tensor memory, row r of the CTA in lane r.
//
// After every rank step (rank 128) the MMAs stop while all threads read their
// row back from tensor memory and fold it into the transcripts: thread
// 32·w + l holds row 32·w + l, and candidate c of each 128 x 128 sub-tile
// (rows 64·g + o and 64·g + o + 32, columns 64·q to 64·q + 63 with o = c mod
// 32, g = (c / 32) mod 2, q = c / 64) joins the folds of warps 2g and 2g + 1
// through shared memory. Each sub-tile is reported as a 128 x 128 tile.
//
// Barriers (phases counted per use): full[s] (own expect-tx arrival plus the
// bytes of both copies), peer_full[s] (the odd CTA's arrival once its own
// stage is full, on the even CTA), empty[s] (the commits of both pairs'
// MMAs, so that a stage is refilled only when every CTA it feeds has read
// it), step_done (the MMA commit of a finished rank step, both CTAs of the
// pair) and step_read (both CTAs' threads have read the accumulators).
// Commits and remote arrivals land asynchronously, possibly after their
// issuer went on: before a CTA ends, its thread 0 waits for the last phases
// of its own empty barriers (and the even CTA for the last step_read), so
// that nothing still lands in its shared memory once it has exited.
#include <cstdint>

#include "backends/mining_epilogue.h"
#include "core/device_instructions.h"
#include "core/gpu_platform.h"

namespace blackwell_two_sm_mma {

constexpr int kThreads = 128;
constexpr int kRows = 128;           // per CTA
constexpr int kKTileBytes = 128;     // one 128-byte swizzle row per stage
constexpr int kStages = 2;
constexpr int kRank = 128;
constexpr int kSubTile = 128;
constexpr int kCandidateColumns = 64;

// The element-specific parts of a kernel.
//   Element: int8_t or a 2-byte bfloat16; kPairN: the pair's N tile;
//   kFloatSteps: the MMA accumulates one rank step in f32 and the fold adds
//   it into int32 running sums kept beside it in tensor memory.
template <class Element, int kPairN, bool kFloatSteps>
struct TwoSmConfig {
  static constexpr int kElementBytes = static_cast<int>(sizeof(Element));
  static constexpr int kPairTileN = kPairN;
  static constexpr int kRowsB = kPairN / 2;  // B rows per CTA
  static constexpr int kStageBytesA = kRows * kKTileBytes;
  static constexpr int kStageBytesB = kRowsB * kKTileBytes;
  static constexpr int kStageBytes = kStageBytesA + kStageBytesB;
  static constexpr int kKTileElements = kKTileBytes / kElementBytes;
  static constexpr int kTilesPerStep = kRank / kKTileElements;
  static constexpr int kMmasPerTile = kKTileBytes / 32;  // 32 bytes of K per instruction
  static constexpr int kSubTiles = kPairN / kSubTile;
  static constexpr bool kFloat = kFloatSteps;
  // f32 step sums, then int32 running sums, or the int32 sums alone.
  static constexpr uint32_t kTensorColumns = kFloatSteps ? 2 * kPairN : kPairN;
  static constexpr uint32_t kAllocatedColumns = kTensorColumns <= 32    ? 32
                                                : kTensorColumns <= 64  ? 64
                                                : kTensorColumns <= 128 ? 128
                                                : kTensorColumns <= 256 ? 256
                                                                        : 512;
  // Aligned stages, barriers, the tensor-memory address and the folds.
  static constexpr int kSharedBytes = 1024 + kStages * kStageBytes + 256 + 4 * kSubTiles * 2 * 4 * 32;
};

struct Barriers {
  uint64_t full[kStages];
  uint64_t peer_full[kStages];
  uint64_t empty[kStages];
  uint64_t step_done;
  uint64_t step_read;
  uint32_t tensor_memory;
};

__host__ __device__ inline TilePosition candidate_position(int thread, int v) {
  const int row = 64 * ((thread / 32) % 2) + thread % 32 + 32 * (v / kCandidateColumns);
  const int col = kCandidateColumns * (thread / 64) + v % kCandidateColumns;
  return TilePosition{static_cast<uint16_t>(row), static_cast<uint16_t>(col)};
}

template <class Config>
__device__ inline void issue_mmas(uint32_t accumulators, unsigned char* stage, bool accumulate_first) {
  using namespace device_instructions;
  const uint32_t a = shared_window_address(stage);
  const uint32_t b = shared_window_address(stage + Config::kStageBytesA);
  for (int i = 0; i < Config::kMmasPerTile; ++i) {
    const uint64_t da = umma_descriptor_k_major_sw128(a + 32 * i, 1024);
    const uint64_t db = umma_descriptor_k_major_sw128(b + 32 * i, 1024);
    const bool accumulate = accumulate_first || i > 0;
    if constexpr (Config::kFloat) {
      umma_pair_bf16(accumulators, da, db, umma_instruction_bf16(256, Config::kPairTileN), accumulate);
    } else {
      umma_pair_s8(accumulators, da, db, umma_instruction_s8(256, Config::kPairTileN), accumulate);
    }
  }
}

// This thread's row after a rank step, XOR-folded per 64 columns into
// partial[q] (q < kPairN / 64). With float steps the step's f32 sums are
// added into the int32 running sums first (both exact, see the B300 unit);
// the first step starts them (tensor memory holds garbage until written).
template <class Config>
__device__ inline void read_row(uint32_t tensor_base, bool first_step,
                                uint32_t (&partial)[Config::kPairTileN / 64]) {
  using namespace device_instructions;
  const uint32_t lane_base = tensor_memory_address(32 * (threadIdx.x / 32), 0);
  for (int q = 0; q < Config::kPairTileN / 64; ++q) partial[q] = 0;
  for (int chunk = 0; chunk < Config::kPairTileN / 32; ++chunk) {
    uint32_t values[32];
    if constexpr (Config::kFloat) {
      uint32_t sums[32];
      tmem_load_32x32b_x32(tensor_base + lane_base + 32 * chunk, values);
      tmem_load_32x32b_x32(tensor_base + lane_base + Config::kPairTileN + 32 * chunk, sums);
      tmem_wait_ld();
      if (first_step) {
#pragma unroll
        for (int i = 0; i < 32; ++i) sums[i] = 0;
      }
#pragma unroll
      for (int i = 0; i < 32; ++i) {
        const int32_t step = static_cast<int32_t>(__uint_as_float(values[i]));
        values[i] = sums[i] + static_cast<uint32_t>(step);
      }
      tmem_store_32x32b_x32(tensor_base + lane_base + Config::kPairTileN + 32 * chunk, values);
    } else {
      tmem_load_32x32b_x32(tensor_base + lane_base + 32 * chunk, values);
      tmem_wait_ld();
    }
    uint32_t fold = 0;
#pragma unroll
    for (int i = 0; i < 32; ++i) fold ^= values[i];
    partial[chunk / 2] ^= fold;
  }
  if constexpr (Config::kFloat) tmem_wait_st();
}

// Block (x, y) of the grid: rows 128·x, the pair's N tile y.
template <class Config>
__device__ void mine_block(int m, int k, const CUtensorMap* map_a, const CUtensorMap* map_b,
                           const MiningOutputs& outputs) {
  using namespace device_instructions;
  const int thread = static_cast<int>(threadIdx.x);
  const uint32_t rank = cluster_block_rank();
  const bool even = (rank & 1u) == 0;
  const uint32_t pair_mask = 0x3u << (rank & ~1u);
  const int tile_row = static_cast<int>(blockIdx.x) * kRows;
  const int pair_column = static_cast<int>(blockIdx.y) * Config::kPairTileN;
  const int b_row = pair_column + (even ? 0 : Config::kRowsB);

  unsigned char* raw = korvath_dynamic_shared<unsigned char>();
  unsigned char* stages = reinterpret_cast<unsigned char*>(
      (reinterpret_cast<uintptr_t>(raw) + 1023) & ~static_cast<uintptr_t>(1023));
  Barriers* bars = reinterpret_cast<Barriers*>(stages + kStages * Config::kStageBytes);
  uint32_t* folds = reinterpret_cast<uint32_t*>(stages + kStages * Config::kStageBytes + 256);
  auto stage = [stages](int s) { return stages + s * Config::kStageBytes; };

  if (thread == 0) {
    for (int s = 0; s < kStages; ++s) {
      mbarrier_init(&bars->full[s], 1);
      mbarrier_init(&bars->peer_full[s], 1);
      mbarrier_init(&bars->empty[s], 2);
    }
    mbarrier_init(&bars->step_done, 1);
    mbarrier_init(&bars->step_read, 2);
    mbarrier_init_fence();
  }
  if (thread < 32) tmem_alloc_pair(&bars->tensor_memory, Config::kAllocatedColumns);
  tcgen05_fence_before_thread_sync();
  cluster_sync();  // every CTA's barriers exist before any copy or arrival reaches them
  tcgen05_fence_after_thread_sync();
  const uint32_t accumulators = bars->tensor_memory;

  // Thread 0 fills stage s with K tile kt: A for both pairs from pair 0, B
  // from each CTA for itself.
  auto load = [&](int kt) {
    const int s = kt % kStages;
    mbarrier_arrive_expect_tx(&bars->full[s], Config::kStageBytes);
    const int x = kt * Config::kKTileElements;
    if (rank < 2) {
      tma_load_2d_multicast(stage(s), map_a, x, tile_row, &bars->full[s],
                            static_cast<uint16_t>((1u << rank) | (1u << (rank + 2))));
    }
    tma_load_2d(stage(s) + Config::kStageBytesA, map_b, x, b_row, &bars->full[s]);
  };

  MiningThreadPlace place;
  place.tile_m_index = blockIdx.x;
  place.tile_m_count = static_cast<uint32_t>(m / kSubTile);
  place.thread = thread;
  place.threads_per_block = kThreads;
  place.tile_height = kSubTile;
  place.tile_width = kSubTile;
  place.k = k;
  place.rank = kRank;
  // One transcript per 128 x 128 sub-tile (one or two).
  auto sub_tile = [&](int j) {
    MiningThreadPlace p = place;
    p.tile_n_index = static_cast<uint32_t>(blockIdx.y) * Config::kSubTiles + static_cast<uint32_t>(j);
    return MiningEpilogue<2 * kCandidateColumns>(outputs, p);
  };
  MiningEpilogue<2 * kCandidateColumns> first = sub_tile(0);
  MiningEpilogue<2 * kCandidateColumns> second = sub_tile(Config::kSubTiles - 1);
  static_assert(Config::kSubTiles == 1 || Config::kSubTiles == 2, "one or two sub-tiles per CTA");
  const auto positions = [thread](int v) { return candidate_position(thread, v); };

  const int k_tiles = k / Config::kKTileElements;
  if (thread == 0) {
    for (int kt = 0; kt < k_tiles && kt < kStages; ++kt) load(kt);
  }
  for (int kt = 0; kt < k_tiles; ++kt) {
    const int s = kt % kStages;
    const uint32_t phase = static_cast<uint32_t>(kt / kStages) & 1u;
    const int step = kt / Config::kTilesPerStep;
    const bool step_starts = kt % Config::kTilesPerStep == 0;
    const bool step_ends = (kt + 1) % Config::kTilesPerStep == 0;
    if (thread == 0) {
      mbarrier_wait_parity(&bars->full[s], phase);
      if (even) {
        mbarrier_wait_parity_cluster(&bars->peer_full[s], phase);
        // The previous step's sums must have been read before they change.
        if (step_starts && step > 0) {
          mbarrier_wait_parity_cluster(&bars->step_read, static_cast<uint32_t>(step - 1) & 1u);
        }
        tcgen05_fence_after_thread_sync();
        // Float steps start from zero; int32 sums run over the whole of k.
        issue_mmas<Config>(accumulators, stage(s), Config::kFloat ? !step_starts : kt > 0);
        umma_commit_pair_multicast(&bars->empty[s], 0xf);
        if (step_ends) umma_commit_pair_multicast(&bars->step_done, static_cast<uint16_t>(pair_mask));
      } else {
        mbarrier_arrive_cluster(&bars->peer_full[s], rank - 1);
      }
    }
    if (step_ends) {
      mbarrier_wait_parity(&bars->step_done, static_cast<uint32_t>(step) & 1u);
      tcgen05_fence_after_thread_sync();
      uint32_t partial[Config::kPairTileN / 64];
      read_row<Config>(accumulators, step == 0, partial);
      const int warp = thread / 32;
      const int lane = thread % 32;
      for (int q = 0; q < Config::kPairTileN / 64; ++q) folds[(q * 4 + warp) * 32 + lane] = partial[q];
      tcgen05_fence_before_thread_sync();
      __syncthreads();
      const int k_pos = (step + 1) * kRank;
      const int g = (thread / 32) % 2;
      const int q = thread / 64;
#pragma unroll
      for (int j = 0; j < Config::kSubTiles; ++j) {
        const int quarter = 2 * j + q;
        const uint32_t fold =
            folds[(quarter * 4 + 2 * g) * 32 + lane] ^ folds[(quarter * 4 + 2 * g + 1) * 32 + lane];
        (j == 0 ? first : second)
            .template end_step<false>(k_pos, [fold](int v) { return v == 0 ? static_cast<int32_t>(fold) : 0; },
                                      positions);
      }
      __syncthreads();  // the folds are rewritten at the next step
      if (thread == 0) mbarrier_arrive_cluster(&bars->step_read, rank & ~1u);
    }
    if (thread == 0 && kt + kStages < k_tiles) {
      mbarrier_wait_parity(&bars->empty[s], phase);
      load(kt + kStages);
    }
  }

  // Producer tail: the commits of the last stages (both pairs' leaders
  // multicast them onto every CTA) and the last step's read arrivals.
  if (thread == 0) {
    for (int kt = k_tiles > kStages ? k_tiles - kStages : 0; kt < k_tiles; ++kt) {
      mbarrier_wait_parity(&bars->empty[kt % kStages], static_cast<uint32_t>(kt / kStages) & 1u);
    }
    if (even && k_tiles > 0) {
      mbarrier_wait_parity_cluster(&bars->step_read,
                                   static_cast<uint32_t>((k_tiles - 1) / Config::kTilesPerStep) & 1u);
    }
  }
  tcgen05_fence_before_thread_sync();
  cluster_sync();  // no peer still arrives on or copies into this CTA
  tcgen05_fence_after_thread_sync();
  if (thread < 32) tmem_dealloc_pair(accumulators, Config::kAllocatedColumns);
  first.finish(positions);
  if (Config::kSubTiles == 2) second.finish(positions);
}

}  // namespace blackwell_two_sm_mma
