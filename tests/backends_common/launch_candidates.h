#pragma once
// Every candidate of a mining launch replayed on the CPU at once, in the
// order the election ranks them (tile along m first, then the thread), and
// their digests under any key. The transcripts cost the launch's m x n x k
// products once; a digest is one compression more, so a test can try many
// digest keys until the launch's smallest digests fall where it wants them.
//
// A reported tile of width W holds W candidates: candidate c opens rows
// 64 ((c / 32) mod 2) + c mod 32 and that row + 32, and columns 64 (c / 64)
// to 64 (c / 64) + 63 (the network's layout, which every row reports).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mining_attempt.h"

struct LaunchCandidate {
  uint32_t tile_m;
  uint32_t tile_n;
  int thread;
  uint32_t words[16];  // the transcript
};

// A digest as eight little-endian words, word 7 the most significant.
struct Digest {
  uint32_t words[8];
};
bool operator<(const Digest& a, const Digest& b);
bool operator==(const Digest& a, const Digest& b);

// The target a digest meets exactly up to itself.
std::vector<uint32_t> target_at(const Digest& digest);

class LaunchCandidates {
 public:
  // tile_width: the columns of a reported tile (128 or 256); tiles are 128 rows.
  LaunchCandidates(const MiningAttempt& attempt, int tile_width);

  size_t size() const { return candidates_.size(); }
  const LaunchCandidate& operator[](size_t rank) const { return candidates_[rank]; }
  int tile_width() const { return tile_width_; }
  uint32_t tiles_m() const { return tiles_m_; }
  uint32_t tiles_n() const { return tiles_n_; }

  // Every candidate's digest keyed with `key` (32 bytes), in election order.
  std::vector<Digest> digests(const std::vector<uint8_t>& key) const;

  // Positions of the opened pairs of candidate `thread`, as the header lists them.
  static uint16_t pair_row(int thread, int v) {
    return static_cast<uint16_t>(64 * ((thread / 32) % 2) + thread % 32 + 32 * (v / 64));
  }
  static uint16_t pair_col(int thread, int v) { return static_cast<uint16_t>(64 * (thread / 64) + v % 64); }

 private:
  int tile_width_;
  uint32_t tiles_m_;
  uint32_t tiles_n_;
  std::vector<LaunchCandidate> candidates_;
};

// Digest key number `index` of a fixed sequence, the same on every run.
std::vector<uint8_t> numbered_digest_key(uint32_t index);

// The digest of an all-zero transcript (what a tile of zero rows folds to).
Digest zero_transcript_digest(const std::vector<uint8_t>& key);

// The ranks of the smallest and the second smallest digest.
struct SmallestTwo {
  size_t first;
  size_t second;
};
SmallestTwo smallest_two(const std::vector<Digest>& digests);

// The header reports `expected` with its transcript and digest: the winning
// tile, thread, tile size, its 128 opened pairs, words and kernel hash.
void expect_reported(const HostSignalHeader& h, const LaunchCandidate& expected, const Digest& digest,
                     int tile_width);
