#pragma once
// The end of every mining kernel, whatever its arithmetic: each thread folds
// its accumulators into its 16-word transcript after every rank step (and
// writes the jackpot dump when it is on), and at the end hashes the
// transcript keyed with the attempt's A noise seed, tests the digest against
// the share target and, when it hits, competes to report the candidate in
// HostSignalHeader.
//
// A kernel builds one MiningEpilogue<kValues> per thread, where kValues is the
// number of accumulators the thread holds, and hands it two callables:
//   values(v)    -> int32_t       accumulator v (0 <= v < kValues)
//   positions(v) -> TilePosition  its (row, column) within the block's tile
// so that a kernel holding its accumulators in fragments needs no copy.
//
// Every thread of the block calls end_step once after each rank step, in
// order from the first, and finish at the end, all with the same arguments'
// shapes: finish votes within the warp, so all 32 lanes must reach it
// together. end_step<false> carries no jackpot-dump code, for a path that
// never dumps; the plain end_step dumps when the outputs ask for it.
//
// The 16 transcript words stay in registers: they are kept rotated so that
// the word a step updates is always the first, and finish turns them back.
//
// Thread layout expected by the diagnostics (jackpot oracle, transcript
// search): a thread holds two rows r and r + 32 of a 64-row group and
// kValues / 2 consecutive columns; its dumped value for (row, column) sits at
// ((row mod 64) / 32) · kValues / 2 + column mod (kValues / 2).
//
// Candidate election: among all hitting threads of the launch, the one with
// the lowest key (global block numbered along m first, then thread) reports.
// HostSignalSync holds a lock word and the best key so far plus one.
#include <cstdint>

#include "backends/digest_target.h"
#include "backends/kernel_signal.h"
#include "core/gpu_platform.h"
#include "tensor_hash/blake3_device.h"

// The launch arguments the epilogue reads or writes.
struct MiningOutputs {
  HostSignalHeader* header;
  HostSignalSync* sync;
  const uint32_t* target;  // 8 words, least significant first
  const uint32_t* seed;    // the A noise seed, 8 little-endian words
  VexalHeadlessJackpotDumpEntry* entries;  // null: no jackpot dump
  int32_t* values;
  uint32_t* value_counts;
  int32_t capacity;  // dump records per thread (rank steps); below 1: no dump
};

// An accumulator's place within its block's tile.
struct TilePosition {
  uint16_t row;
  uint16_t col;
};

// Where one thread's work lies.
struct MiningThreadPlace {
  uint32_t tile_m_index;
  uint32_t tile_n_index;
  uint32_t tile_m_count;  // tiles along m: m / tile_height
  int32_t thread;         // within the block
  int32_t threads_per_block;
  int32_t tile_height;
  int32_t tile_width;
  int32_t k;
  int32_t rank;
};

__host__ __device__ inline uint32_t transcript_rotl13(uint32_t word) {
  return (word << 13) | (word >> 19);
}

// The transcript word a step updates: steps are counted from k_pos / rank = 1.
__host__ __device__ inline int transcript_index(int k_pos, int rank) {
  return (k_pos / rank - 1) % 16;
}

template <int kValues>
class MiningEpilogue {
  static_assert(kValues >= 2 && kValues <= 256 && kValues % 2 == 0,
                "the header opens at most 256 pairs; the dump needs two rows");

 public:
  __device__ MiningEpilogue(const MiningOutputs& outputs, const MiningThreadPlace& place)
      : outputs_(outputs), place_(place) {
#pragma unroll
    for (int i = 0; i < 16; ++i) words_[i] = 0;
  }

  __device__ bool dump_on() const {
    return outputs_.entries && outputs_.values && outputs_.value_counts && outputs_.capacity > 0;
  }

  // After the accumulators have taken k columns up to k_pos (a multiple of rank).
  template <bool kDump = true, typename Values, typename Positions>
  __device__ void end_step(int k_pos, const Values& values, const Positions& positions) {
    uint32_t fold = 0;
    // Unrolled so that register-held accumulators stay in registers.
#pragma unroll
    for (int v = 0; v < kValues; ++v) fold ^= static_cast<uint32_t>(values(v));
    const uint32_t word = fold ^ transcript_rotl13(words_[0]);
    // A run-time index would move the words to local memory: rotate instead.
#pragma unroll
    for (int i = 0; i < 15; ++i) words_[i] = words_[i + 1];
    words_[15] = word;
    ++steps_;
    if constexpr (kDump) {
      if (dump_on()) dump_step(k_pos, fold, word, values, positions);
    }
  }

  // end_step<false> with `fold` as the only value, taken only when `ended`;
  // without a branch, so that a kernel can run it on every K tile among its
  // MMAs.
  __device__ void end_step_if(bool ended, uint32_t fold) {
    const uint32_t word = fold ^ transcript_rotl13(words_[0]);
#pragma unroll
    for (int i = 0; i < 15; ++i) words_[i] = ended ? words_[i + 1] : words_[i];
    words_[15] = ended ? word : words_[15];
    steps_ += ended ? 1 : 0;
  }

  // A transcript computed elsewhere (in transcript order, all its steps
  // taken), for a kernel that folds outside end_step.
  __device__ void take_transcript(const uint32_t (&state)[16]) {
#pragma unroll
    for (int i = 0; i < 16; ++i) words_[i] = state[i];
    steps_ = 0;
  }

  // The word the last end_step wrote.
  __device__ uint32_t last_word() const { return words_[15]; }

  // After the last step: report the thread's transcript when its digest hits.
  template <typename Positions>
  __device__ void finish(const Positions& positions) {
    uint32_t key[8];
    uint32_t target[8];
    for (int i = 0; i < 8; ++i) {
      key[i] = outputs_.seed[i];
      target[i] = outputs_.target[i];
    }
    uint32_t state[16];
    transcript(state);
    uint32_t digest[8];
    blake3::keyed_hash_block(key, state, digest);
    const bool hit = digest_meets_target(digest, target);

    // The lowest hitting lane speaks for its warp.
    const unsigned hits = __ballot_sync(0xffffffffu, hit ? 1 : 0);
    const int lane = place_.thread & 31;
    if (!hit || lane != __ffs(static_cast<int>(hits)) - 1) return;

    const uint32_t block = place_.tile_m_count * place_.tile_n_index + place_.tile_m_index;
    // Lower key, earlier winner; 0 is kept for "none yet".
    const uint32_t ticket =
        block * static_cast<uint32_t>(place_.threads_per_block) +
        static_cast<uint32_t>(place_.thread) + 1u;
    volatile uint32_t* best = &outputs_.sync->words[1];
    if (*best != 0u && *best <= ticket) return;
    while (atomicCAS(&outputs_.sync->words[0], 0u, 1u) != 0u) {
    }
    __threadfence();
    if (*best == 0u || ticket < *best) {
      publish(state, digest, positions);
      __threadfence_system();
      *best = ticket;
    }
    __threadfence();
    atomicExch(&outputs_.sync->words[0], 0u);
  }

 private:
  // The words in transcript order. After s steps the first kept word is word
  // s mod 16: rotate left by (16 - s) mod 16, a uniform shift in four stages.
  __device__ void transcript(uint32_t (&state)[16]) const {
#pragma unroll
    for (int i = 0; i < 16; ++i) state[i] = words_[i];
    const int shift = (16 - steps_ % 16) % 16;
#pragma unroll
    for (int stage = 1; stage < 16; stage *= 2) {
      uint32_t turned[16];
#pragma unroll
      for (int i = 0; i < 16; ++i) turned[i] = state[(i + stage) % 16];
      const bool take = (shift & stage) != 0;
#pragma unroll
      for (int i = 0; i < 16; ++i) state[i] = take ? turned[i] : state[i];
    }
  }

  template <typename Values, typename Positions>
  __device__ void dump_step(int k_pos, uint32_t fold, uint32_t word, const Values& values,
                            const Positions& positions) {
    const int step = k_pos / place_.rank - 1;
    if (step >= outputs_.capacity) return;
    const uint64_t steps = static_cast<uint64_t>(place_.k / place_.rank);
    const uint64_t block =
        static_cast<uint64_t>(place_.tile_m_count) * place_.tile_n_index + place_.tile_m_index;
    const uint64_t entry =
        (block * static_cast<uint64_t>(place_.threads_per_block) +
         static_cast<uint64_t>(place_.thread)) * steps + static_cast<uint64_t>(step);
    VexalHeadlessJackpotDumpEntry record;
    record.block_x = blockIdx.x;
    record.block_y = blockIdx.y;
    record.k_tile = static_cast<uint32_t>(k_pos / 64 - 1);
    record.transcript_index = static_cast<uint32_t>(transcript_index(k_pos, place_.rank));
    record.xored_tile = fold;
    record.transcript_word = word;
    record.k_pos = static_cast<uint32_t>(k_pos);
    outputs_.entries[entry] = record;
    constexpr int kHalf = kValues / 2;
#pragma unroll
    for (int v = 0; v < kValues; ++v) {
      const TilePosition at = positions(v);
      const uint64_t slot =
          entry * kValues + static_cast<uint64_t>((at.row % 64) / 32 * kHalf + at.col % kHalf);
      outputs_.values[slot] = values(v);
      outputs_.value_counts[slot] += 1u;
    }
  }

  template <typename Positions>
  __device__ void publish(const uint32_t (&state)[16], const uint32_t digest[8],
                          const Positions& positions) {
    HostSignalHeader* header = outputs_.header;
    header->tile_m_index = place_.tile_m_index;
    header->tile_n_index = place_.tile_n_index;
    header->candidate_thread = place_.thread;
    header->pair_count = static_cast<uint16_t>(kValues);
    for (int v = 0; v < kValues; ++v) {
      const TilePosition at = positions(v);
      header->pair_rows[v] = at.row;
      header->pair_cols[v] = at.col;
    }
    header->tile_height = place_.tile_height;
    header->tile_width = place_.tile_width;
    for (int i = 0; i < 16; ++i) header->transcript[i] = state[i];
    for (int i = 0; i < 8; ++i) blake3::store_le32(header->kernel_hash + 4 * i, digest[i]);
    __threadfence_system();
    header->status = 1u;
  }

  MiningOutputs outputs_;
  MiningThreadPlace place_;
  uint32_t words_[16];  // rotated: words_[0] is the word the next step updates
  int steps_ = 0;
};
