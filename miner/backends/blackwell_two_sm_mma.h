#pragma once
// The mining body of the B200 and B300 kernels on the two-SM tensor-core MMA.
//
// A (2, 2, 1) cluster holds two CTA pairs: ranks 2y and 2y + 1 form pair y
// and share one M tile of 256 rows (CTA x holds rows 128·x to 128·x + 127),
// the two pairs take neighbouring N tiles; clusters walk their tiles in
// groups of M tiles (cluster_tile_order.h). Every stage of shared memory
// holds a K tile (128 bytes of each row) of the CTA's 128 rows of A and of
// its half of the pair's B rows. The even CTA of each pair does everything
// that is not a fold: its warp 1 loads every stage of both CTAs (the CTA-pair
// bulk copy counts both CTAs' bytes on the even CTA's barrier; pair 0's even
// CTA multicasts each A box to its twin in pair 1), and its warp 2h issues
// and commits the pair's MMAs of part h (below) from one thread. The product
// lands in each CTA's tensor memory, row r of the CTA in lane r.
//
// The tile's columns are multiplied in kSplits parts, so that the MMAs of one
// part run while the folds of another read theirs. After every rank step
// (rank 128) all four warps of both CTAs read each part back (thread 32·w + l
// holds row 32·w + l), tell the even CTA that the part's columns are free,
// and only then reduce them; the MMAs of the next step's part are issued as
// soon as every warp of the pair holds its values. Integer steps leave int32
// running sums in the accumulators; float steps start from zero each step and
// the fold adds them into int32 running sums kept beside them in tensor
// memory (exact, see the B300 unit).
//
// Candidate c of each 128 x 128 sub-tile holds rows 64·g + o and 64·g + o + 32
// and columns 64·q to 64·q + 63 (o = c mod 32, g = (c / 32) mod 2, q = c / 64):
// the rows of warps 2g and 2g + 1. Each thread keeps a transcript per 64
// columns of its own row from its own part of the folds; the transcript rule
// (word = fold XOR rotl13(word)) is linear in the folds, so a candidate's
// transcript is the XOR of its two rows' transcripts, combined once at the end
// through shared memory instead of after every step.
//
// Barriers (phases counted per use): full[s] (even CTA: the expect-tx arrival
// and the bytes of both CTAs' copies), empty[s] (even CTAs: the commits of
// every part's MMAs of both pairs that read stage s, which pair 0 also fills
// for pair 1), step_done[h] (both CTAs of a pair: the commit of part h's
// MMAs of a step), read_done[h] (even CTA: one arrival per warp of both CTAs
// once part h is in registers; not after the last step). Before the CTA ends,
// the even CTA waits for every commit its barriers still expect, so that
// nothing lands in its shared memory after it exits.
#include <cstdint>

#include "backends/cluster_tile_order.h"
#include "backends/mining_epilogue.h"
#include "core/device_instructions.h"
#include "core/gpu_platform.h"
#include "core/instructions/cute_twins.h"

namespace blackwell_two_sm_mma {

constexpr int kThreads = 128;
constexpr int kWarps = kThreads / 32;
constexpr int kRows = 128;           // per CTA
constexpr int kKTileBytes = 128;     // one 128-byte swizzle row per stage
constexpr int kStages = 2;
constexpr int kRank = 128;
constexpr int kSubTile = 128;
constexpr int kCandidateColumns = 64;
constexpr uint32_t kGroupM = 16;     // M tiles of 256 rows per group of the cluster order
constexpr uint16_t kEvenCtas = 0x5;  // ranks 0 and 2
constexpr int kProducerWarp = 1;     // of the even CTA: loads both CTAs' stages

// The even CTA's warp that issues part h's MMAs (never the producer).
__host__ __device__ constexpr int issuer_warp(int h) { return (2 * h) % kWarps; }

// One CTA tile of K of the CTA's operands, as the kernels' template argument
// names it: A's and B's shared layouts (CuTe's, over whole 128-byte swizzle
// rows), each aligned to the swizzle pattern. A stage is one TMA box of each.
template <class ElementA, class LayoutA, class ElementB, class LayoutB>
struct SharedStorage2Sm {
  cute::array_aligned<ElementA, cute::cosize_v<LayoutA>, 1024> a;
  cute::array_aligned<ElementB, cute::cosize_v<LayoutB>, 1024> b;
};

// The element-specific parts of a kernel.
//   Element: int8_t or a 2-byte bfloat16; kPairN: the pair's N tile;
//   kFloatSteps: the MMA accumulates one rank step in f32 and the fold adds
//   it into int32 running sums kept beside it in tensor memory;
//   kSplits: the parts the tile's columns are multiplied and folded in;
//   Storage: the SharedStorage2Sm of the kernel's template arguments.
template <class Element, int kPairN, bool kFloatSteps, int kSplitCount, class Storage>
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
  static constexpr int kSplits = kSplitCount;
  static constexpr int kSplitN = kPairN / kSplits;       // the MMA's N for one part
  static constexpr int kSplitRowsB = kRowsB / kSplits;   // B rows of one part per CTA
  static constexpr int kChunks = kSplitN / 32;           // 32-column loads of one part
  static constexpr int kQuarters = kPairN / kCandidateColumns;
  static constexpr int kSubTiles = kPairN / kSubTile;
  static constexpr bool kFloat = kFloatSteps;
  static constexpr uint32_t kSumsColumn = kPairN;
  // f32 step sums, then int32 running sums, or the int32 sums alone.
  static constexpr uint32_t kTensorColumns = kFloatSteps ? 2 * kPairN : kPairN;
  static constexpr uint32_t kAllocatedColumns = kTensorColumns <= 32    ? 32
                                                : kTensorColumns <= 64  ? 64
                                                : kTensorColumns <= 128 ? 128
                                                : kTensorColumns <= 256 ? 256
                                                                        : 512;
  // Stages in one Storage (its K tile in TMA boxes), and the Storages.
  static constexpr int kStorageStages = static_cast<int>(sizeof(Storage::a)) / kStageBytesA;
  static constexpr int kStorages = kStages / kStorageStages;
  static_assert(kStorageStages * kStageBytesA == static_cast<int>(sizeof(Storage::a)) &&
                    kStorageStages * kStageBytesB == static_cast<int>(sizeof(Storage::b)) &&
                    kStorages * kStorageStages == kStages,
                "the storage holds whole stages");
  static constexpr int kStorageBytes = kStorages * static_cast<int>(sizeof(Storage));
  // Byte offsets of stage s's A and B boxes.
  static constexpr int offset_a(int s) {
    return s / kStorageStages * static_cast<int>(sizeof(Storage)) + s % kStorageStages * kStageBytesA;
  }
  static constexpr int offset_b(int s) {
    return s / kStorageStages * static_cast<int>(sizeof(Storage)) + static_cast<int>(sizeof(Storage::a)) +
           s % kStorageStages * kStageBytesB;
  }
  // The per-row transcripts combined at the end, in the stages.
  static constexpr int kExchangeBytes = kQuarters * 16 * kThreads * 4;
  static_assert(kExchangeBytes <= kStorageBytes, "the transcripts fit the stages");
  static_assert(kSplitN % 64 == 0 || (kSplitN / 2) % 32 == 0, "a part's columns are whole 32-column chunks");
  static_assert(kSplitRowsB * kKTileBytes % 1024 == 0, "a part's B rows start on a swizzle pattern");
  // The pair's N tile of one part in 32-column chunks: which 64 columns
  // (quarter) chunk c of part h holds. Both CTAs' B rows of a part are
  // consecutive in its MMA's columns (even CTA's first).
  static constexpr int quarter_of(int h, int c) {
    return ((32 * c) / (kSplitN / 2) * kRowsB + h * kSplitRowsB + (32 * c) % (kSplitN / 2)) / kCandidateColumns;
  }
};

template <int kSplits>
struct Barriers {
  uint64_t full[kStages];
  uint64_t empty[kStages];
  uint64_t step_done[kSplits];
  uint64_t read_done[kSplits];
  uint32_t tensor_memory;
};

template <class Config>
constexpr int shared_bytes() {
  return 1024 + Config::kStorageBytes + static_cast<int>(sizeof(Barriers<Config::kSplits>));
}

__host__ __device__ inline TilePosition candidate_position(int thread, int v) {
  const int row = 64 * ((thread / 32) % 2) + thread % 32 + 32 * (v / kCandidateColumns);
  const int col = kCandidateColumns * (thread / 64) + v % kCandidateColumns;
  return TilePosition{static_cast<uint16_t>(row), static_cast<uint16_t>(col)};
}

// XOR of 32 values as a tree of three-input XORs (one LOP3 each): 16
// instructions four deep, not a chain of 31.
__device__ __forceinline__ uint32_t xor_tree(const uint32_t (&v)[32]) {
  uint32_t a[12];
#pragma unroll
  for (int i = 0; i < 10; ++i) a[i] = v[3 * i] ^ v[3 * i + 1] ^ v[3 * i + 2];
  a[10] = v[30];
  a[11] = v[31];
  uint32_t b[4];
#pragma unroll
  for (int i = 0; i < 4; ++i) b[i] = a[3 * i] ^ a[3 * i + 1] ^ a[3 * i + 2];
  return (b[0] ^ b[1] ^ b[2]) ^ b[3];
}

// Two f32 step sums (integers, |x| < 2^22) with 1.5·2^23 added: the sums are
// exact and their bits are 0x4B400000 + x (a packed add, no conversion); the
// caller subtracts the constant in its integer add.
constexpr uint32_t kStepSumBias = 0x4B400000u;
__device__ __forceinline__ void biased_step_sums(uint32_t& x0, uint32_t& x1) {
  float y0;
  float y1;
  device_instructions::fadd2_rn(y0, y1, __uint_as_float(x0), __uint_as_float(x1), 12582912.0f, 12582912.0f);
  x0 = __float_as_uint(y0);
  x1 = __float_as_uint(y1);
}

// word (step mod 16) of every quarter's transcript takes its fold; the index
// is a case label so that the words stay in registers.
template <int kQuarters>
__device__ __forceinline__ void take_folds(uint32_t (&words)[kQuarters][16], const uint32_t (&folds)[kQuarters],
                                           int step) {
#define KORVATH_TAKE_FOLDS(i)                                                                       \
  case i:                                                                                          \
    _Pragma("unroll") for (int q = 0; q < kQuarters; ++q) words[q][i] = folds[q] ^ transcript_rotl13(words[q][i]); \
    break;
  switch (step & 15) {
    KORVATH_TAKE_FOLDS(0)
    KORVATH_TAKE_FOLDS(1)
    KORVATH_TAKE_FOLDS(2)
    KORVATH_TAKE_FOLDS(3)
    KORVATH_TAKE_FOLDS(4)
    KORVATH_TAKE_FOLDS(5)
    KORVATH_TAKE_FOLDS(6)
    KORVATH_TAKE_FOLDS(7)
    KORVATH_TAKE_FOLDS(8)
    KORVATH_TAKE_FOLDS(9)
    KORVATH_TAKE_FOLDS(10)
    KORVATH_TAKE_FOLDS(11)
    KORVATH_TAKE_FOLDS(12)
    KORVATH_TAKE_FOLDS(13)
    KORVATH_TAKE_FOLDS(14)
    KORVATH_TAKE_FOLDS(15)
  }
#undef KORVATH_TAKE_FOLDS
}

// Where a block's work lies: the 128 rows of A it holds and its pair's N tile.
struct BlockTile {
  uint32_t row_tile;   // 128-row tile index
  uint32_t pair_tile;  // the pair's N tile index
};

__device__ inline BlockTile block_tile() {
  const uint32_t clusters_m = gridDim.x / 2;
  const uint32_t clusters_n = gridDim.y / 2;
  const uint32_t index = (blockIdx.y / 2) * clusters_m + blockIdx.x / 2;
  uint32_t tile_m = 0;
  uint32_t tile_n = 0;
  cluster_tile_order::tile_of_cluster(index, clusters_m, clusters_n, kGroupM, &tile_m, &tile_n);
  return BlockTile{2 * tile_m + blockIdx.x % 2, 2 * tile_n + blockIdx.y % 2};
}

// The kernel body. MmaOp: the pair MMA atom of the whole tile (its N split
// into parts here); TmaA, TmaB: the CTA-pair multicast copy atoms holding
// the operands' tensor maps.
template <class Config, class MmaOp, class TmaA, class TmaB>
__device__ void mine_block(int m, int k, const TmaA& tma_a, const TmaB& tma_b, const MiningOutputs& outputs) {
  using namespace device_instructions;
  // The part's MMA: the atom's own instruction descriptor (CuTe's traits) at
  // the part's N, issued from one thread through the instruction layer.
  using SplitMma = korvath_cute::umma_with_n<MmaOp, Config::kSplitN>;
  const uint32_t instruction = static_cast<uint32_t>(korvath_cute::umma_instruction_operand<SplitMma>() >> 32);
  constexpr int kSplits = Config::kSplits;
  constexpr int kTiles = Config::kTilesPerStep;
  constexpr int kQuarters = Config::kQuarters;

  const int thread = static_cast<int>(threadIdx.x);
  const int warp = thread / 32;
  const int lane = thread % 32;
  const uint32_t rank = cluster_block_rank();
  const bool even = (rank & 1u) == 0;
  const uint32_t even_rank = rank & ~1u;
  const uint16_t pair_mask = static_cast<uint16_t>(0x3u << even_rank);
  // The even CTA's roles: the issuer of each part, and the producer.
  const auto issues = [even, warp](int h) { return even && warp == issuer_warp(h); };
  const bool producer = even && warp == kProducerWarp;
  const BlockTile tile = block_tile();
  const int pair_row = static_cast<int>(tile.row_tile & ~1u) * kRows;  // the pair's first A row
  const int pair_column = static_cast<int>(tile.pair_tile) * Config::kPairTileN;

  unsigned char* raw = korvath_dynamic_shared<unsigned char>();
  unsigned char* stages = reinterpret_cast<unsigned char*>(
      (reinterpret_cast<uintptr_t>(raw) + 1023) & ~static_cast<uintptr_t>(1023));
  auto* bars = reinterpret_cast<Barriers<kSplits>*>(stages + Config::kStorageBytes);
  auto stage_a = [stages](int s) { return stages + Config::offset_a(s); };
  auto stage_b = [stages](int s) { return stages + Config::offset_b(s); };

  if (thread == 0) {
    for (int s = 0; s < kStages; ++s) {
      mbarrier_init(&bars->full[s], 1);
      mbarrier_init(&bars->empty[s], 2 * kSplits);
    }
    for (int h = 0; h < kSplits; ++h) {
      mbarrier_init(&bars->step_done[h], 1);
      mbarrier_init(&bars->read_done[h], 2 * kWarps);
    }
    mbarrier_init_fence();
  }
  if (warp == 0) tmem_alloc_pair(&bars->tensor_memory, Config::kAllocatedColumns);
  tcgen05_fence_before_thread_sync();
  cluster_sync();  // every CTA's barriers exist before any copy or arrival reaches them
  tcgen05_fence_after_thread_sync();
  // Broadcast from lane 0, so that the compiler sees them as the warp's one
  // value (the tensor-core instructions take uniform operands).
  const uint32_t accumulators = __shfl_sync(0xffffffffu, bars->tensor_memory, 0);
  const uint32_t shared_base = __shfl_sync(0xffffffffu, shared_window_address(stages), 0);

  const int k_tiles = k / Config::kKTileElements;
  const int steps = k / kRank;

  // The producer's lane 0 fills stage kt % kStages with K tile kt for both
  // CTAs of the pair: pair 0 multicasts each CTA's A rows to its twin in
  // pair 1; every copy's bytes are counted on the even CTA's full barrier.
  auto load = [&](int kt) {
    if (!elect_one_sync()) return;  // one thread, and the compiler knows it
    const int s = kt % kStages;
    const int x = kt * Config::kKTileElements;
    constexpr uint64_t kHint = static_cast<uint64_t>(cute::TMA::CacheHintSm100::EVICT_NORMAL);
    mbarrier_arrive_expect_tx(&bars->full[s], 2 * Config::kStageBytes);
    if (rank < 2) {
      for (uint32_t half = 0; half < 2; ++half) {
        korvath_cute::SM100_TMA_2SM_LOAD_MULTICAST::copy(tma_a.get_tma_descriptor(), &bars->full[s],
                                                           static_cast<uint16_t>(0x5u << half), kHint, stage_a(s), x,
                                                           pair_row + static_cast<int>(half) * kRows);
      }
    }
    for (uint32_t half = 0; half < 2; ++half) {
      korvath_cute::SM100_TMA_2SM_LOAD_MULTICAST::copy(
          tma_b.get_tma_descriptor(), &bars->full[s], static_cast<uint16_t>(1u << (even_rank + half)), kHint,
          stage_b(s), x, pair_column + static_cast<int>(half) * Config::kRowsB);
    }
  };

  // The pair's MMAs of part h of K tile kt (t-th of its step), and the
  // commits they end: the stage's (each part's issuer commits its reads of
  // it), and the part's once the step's last tile is issued.
  auto multiply = [&](int kt, int t, int h) {
    const int s = kt % kStages;
    const uint32_t a = shared_base + static_cast<uint32_t>(Config::offset_a(s));
    const uint32_t b = shared_base + static_cast<uint32_t>(Config::offset_b(s) + h * Config::kSplitRowsB * kKTileBytes);
    const uint32_t d = accumulators + static_cast<uint32_t>(h * Config::kSplitN);
    // The 32-byte K steps within the 128-byte rows: the descriptors' start
    // address (16-byte units, low bits) advances by 2 each, never carrying.
    const uint64_t da0 = umma_descriptor_k_major_sw128(a, 1024);
    const uint64_t db0 = umma_descriptor_k_major_sw128(b, 1024);
    // One thread issues (and so commits) them; elect tells the compiler so.
    if (!elect_one_sync()) return;
#pragma unroll
    for (int i = 0; i < Config::kMmasPerTile; ++i) {
      // Float steps start from zero; int32 sums run over the whole of k.
      const bool accumulate = Config::kFloat ? (t > 0 || i > 0) : (kt > 0 || i > 0);
      umma_pair<korvath_cute::umma_kind<MmaOp>>(d, da0 + 2 * i, db0 + 2 * i, instruction, accumulate);
    }
    umma_commit_pair_multicast(&bars->empty[s], kEvenCtas);
    if (t == kTiles - 1) umma_commit_pair_multicast(&bars->step_done[h], pair_mask);
  };

  // Part h's MMAs of step `step`, every tile's, by part h's issuer; each
  // tile's wait for its copy.
  auto issue_part = [&](int step, int h) {
#pragma unroll
    for (int t = 0; t < kTiles; ++t) {
      const int kt = step * kTiles + t;
      mbarrier_wait_parity(&bars->full[kt % kStages], static_cast<uint32_t>(kt / kStages) & 1u);
      tcgen05_fence_after_thread_sync();
      multiply(kt, t, h);
    }
  };

  // The producer refills the stages of step `step`'s tiles, each once both
  // pairs' MMAs of every part have read it (before the fold of the step's
  // last part, which is when they finish).
  auto refill = [&](int step) {
#pragma unroll
    for (int t = 0; t < kTiles; ++t) {
      const int kt = step * kTiles + t;
      if (kt + kStages >= k_tiles) continue;
      mbarrier_wait_parity(&bars->empty[kt % kStages], static_cast<uint32_t>(kt / kStages) & 1u);
      tcgen05_fence_before_thread_sync();  // the warp's earlier tensor-memory stores, before the arrival
      load(kt + kStages);
    }
  };

  if (producer) {
    for (int kt = 0; kt < k_tiles && kt < kStages; ++kt) load(kt);
  }
#pragma unroll
  for (int h = 0; h < kSplits; ++h) {
    if (issues(h)) issue_part(0, h);
  }

  uint32_t words[kQuarters][16];
#pragma unroll
  for (int q = 0; q < kQuarters; ++q) {
#pragma unroll
    for (int i = 0; i < 16; ++i) words[q][i] = 0;
  }
  const uint32_t lane_base = tensor_memory_address(32 * static_cast<uint32_t>(warp), 0);
  if constexpr (Config::kFloat) {
    // The running sums start at zero (tensor memory starts undefined).
    uint32_t zeros[32];
#pragma unroll
    for (int i = 0; i < 32; ++i) zeros[i] = 0;
#pragma unroll
    for (int c = 0; c < Config::kPairTileN / 32; ++c) {
      tmem_store_32x32b_x32(accumulators + lane_base + Config::kSumsColumn + 32 * c, zeros);
    }
    tmem_wait_st();
  }

  for (int step = 0; step < steps; ++step) {
    const bool more = step + 1 < steps;
    const uint32_t parity = static_cast<uint32_t>(step) & 1u;
    uint32_t folds[kQuarters];
#pragma unroll
    for (int q = 0; q < kQuarters; ++q) folds[q] = 0;
#pragma unroll
    for (int h = 0; h < kSplits; ++h) {
      if (producer && h == kSplits - 1) refill(step);
      mbarrier_wait_parity(&bars->step_done[h], parity);
      tcgen05_fence_after_thread_sync();
      const uint32_t columns = accumulators + lane_base + static_cast<uint32_t>(h * Config::kSplitN);
      uint32_t values[Config::kChunks][32];
      // Float steps: the running sums of the first two chunks come with the
      // values, each later chunk's while the one two before it is reduced.
      uint32_t sums[2][32];
#pragma unroll
      for (int c = 0; c < Config::kChunks; ++c) tmem_load_32x32b_x32(columns + 32 * c, values[c]);
      if constexpr (Config::kFloat) {
#pragma unroll
        for (int c = 0; c < 2 && c < Config::kChunks; ++c) {
          tmem_load_32x32b_x32(columns + Config::kSumsColumn + 32 * c, sums[c]);
        }
      }
      tmem_wait_ld();
      if (more) {
        // The part's columns are free once every warp of the pair holds them.
        tcgen05_fence_before_thread_sync();
        __syncwarp();
        if (lane == 0) {
          // Releases tensor-memory columns of this CTA: no shared-memory
          // write to publish, so the remote arrival needs no cluster fence.
          if (even) {
            mbarrier_arrive(&bars->read_done[h]);
          } else {
            mbarrier_arrive_remote(&bars->read_done[h], even_rank);
          }
        }
        if (issues(h)) {
          mbarrier_wait_parity(&bars->read_done[h], parity);
          tcgen05_fence_after_thread_sync();
          issue_part(step + 1, h);
        }
      }
#pragma unroll
      for (int c = 0; c < Config::kChunks; ++c) {
        if constexpr (Config::kFloat) {
          if (c >= 2) tmem_wait_ld();
#pragma unroll
          for (int i = 0; i < 32; i += 2) biased_step_sums(values[c][i], values[c][i + 1]);
#pragma unroll
          for (int i = 0; i < 32; ++i) values[c][i] = sums[c % 2][i] + values[c][i] - kStepSumBias;
          if (c + 2 < Config::kChunks) {
            tmem_load_32x32b_x32(columns + Config::kSumsColumn + 32 * (c + 2), sums[c % 2]);
          }
          tmem_store_32x32b_x32(columns + Config::kSumsColumn + 32 * c, values[c]);
        }
        folds[Config::quarter_of(h, c)] ^= xor_tree(values[c]);
      }
      if constexpr (Config::kFloat) tmem_wait_st();
    }
    take_folds<kQuarters>(words, folds, step);
  }

  // Every row's transcripts through shared memory (the stages are quiet: the
  // last step's MMAs read them and every copy landed before those ran), then
  // each candidate combines the two rows it holds.
  uint32_t* exchange = reinterpret_cast<uint32_t*>(stages);
#pragma unroll
  for (int q = 0; q < kQuarters; ++q) {
#pragma unroll
    for (int i = 0; i < 16; ++i) exchange[(q * 16 + i) * kThreads + thread] = words[q][i];
  }
  tcgen05_fence_before_thread_sync();
  __syncthreads();

  MiningThreadPlace place;
  place.tile_m_index = tile.row_tile;
  place.tile_m_count = static_cast<uint32_t>(m / kSubTile);
  place.thread = thread;
  place.threads_per_block = kThreads;
  place.tile_height = kSubTile;
  place.tile_width = kSubTile;
  place.k = k;
  place.rank = kRank;
  const int g = warp % 2;
  const int q = warp / 2;
  uint32_t transcripts[Config::kSubTiles][16];
#pragma unroll
  for (int j = 0; j < Config::kSubTiles; ++j) {
    const int quarter = 2 * j + q;
#pragma unroll
    for (int i = 0; i < 16; ++i) {
      const int word = (quarter * 16 + i) * kThreads;
      transcripts[j][i] = exchange[word + 64 * g + lane] ^ exchange[word + 64 * g + 32 + lane];
    }
  }

  // Producer tail: the commits the even CTA's barriers still expect, the
  // empty phases of the last stages (both pairs' MMAs commit to them).
  if (producer && lane == 0) {
    for (int kt = k_tiles > kStages ? k_tiles - kStages : 0; kt < k_tiles; ++kt) {
      mbarrier_wait_parity(&bars->empty[kt % kStages], static_cast<uint32_t>(kt / kStages) & 1u);
    }
  }
  // The cluster barrier that lets the CTAs go (no peer still copies into,
  // arrives on or reads this CTA; the pair's MMAs are done with its tensor
  // memory): arrived at now, waited for after the closing hashes, which
  // hide its round trip.
  tcgen05_fence_before_thread_sync();
  cluster_arrive();

  const auto positions = [thread](int v) { return candidate_position(thread, v); };
#pragma unroll
  for (int j = 0; j < Config::kSubTiles; ++j) {
    MiningThreadPlace p = place;
    p.tile_n_index = tile.pair_tile * Config::kSubTiles + static_cast<uint32_t>(j);
    MiningEpilogue<2 * kCandidateColumns> epilogue(outputs, p);
    epilogue.take_transcript(transcripts[j]);
    epilogue.finish(positions);
  }

  cluster_wait();
  tcgen05_fence_after_thread_sync();
  if (warp == 0) tmem_dealloc_pair(accumulators, Config::kAllocatedColumns);
}

}  // namespace blackwell_two_sm_mma
