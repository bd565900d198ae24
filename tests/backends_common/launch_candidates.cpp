#include "launch_candidates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "core/blake3_block.h"

bool operator<(const Digest& a, const Digest& b) {
  for (int w = 7; w >= 0; --w) {
    if (a.words[w] != b.words[w]) return a.words[w] < b.words[w];
  }
  return false;
}

bool operator==(const Digest& a, const Digest& b) {
  return std::memcmp(a.words, b.words, sizeof(a.words)) == 0;
}

std::vector<uint32_t> target_at(const Digest& digest) {
  return std::vector<uint32_t>(digest.words, digest.words + 8);
}

namespace {

constexpr int kTileHeight = 128;
constexpr int kCandidateColumns = 64;

uint32_t rotl13(uint32_t word) { return (word << 13) | (word >> 19); }

Digest digest_of(const uint32_t words[16], const uint8_t* key) {
  uint8_t bytes[32];
  blake3_keyed_hash_block(bytes, words, key);
  Digest d;
  for (int w = 0; w < 8; ++w) {
    d.words[w] = uint32_t(bytes[4 * w]) | uint32_t(bytes[4 * w + 1]) << 8 | uint32_t(bytes[4 * w + 2]) << 16 |
                 uint32_t(bytes[4 * w + 3]) << 24;
  }
  return d;
}

}  // namespace

LaunchCandidates::LaunchCandidates(const MiningAttempt& attempt, int tile_width)
    : tile_width_(tile_width),
      tiles_m_(uint32_t(attempt.shape().m / kTileHeight)),
      tiles_n_(uint32_t(attempt.shape().n / tile_width)) {
  const AttemptShape& s = attempt.shape();
  const std::vector<int8_t>& a = attempt.cpu_noised_a();
  const std::vector<int8_t>& b = attempt.cpu_noised_b();
  const size_t k = size_t(s.k);
  const int steps = s.k / s.rank;
  const int width = tile_width;
  candidates_.resize(size_t(tiles_m_) * tiles_n_ * width);
  // One tile at a time: its cumulative int32 products, folded per candidate
  // after every whole step (K columns past the last step stay out).
  std::vector<uint32_t> acc(size_t(kTileHeight) * width);
  for (uint32_t tn = 0; tn < tiles_n_; ++tn) {
    for (uint32_t tm = 0; tm < tiles_m_; ++tm) {
      LaunchCandidate* tile = &candidates_[(size_t(tn) * tiles_m_ + tm) * width];
      for (int c = 0; c < width; ++c) tile[c] = LaunchCandidate{tm, tn, c, {}};
      std::fill(acc.begin(), acc.end(), 0u);
      for (int step = 0; step < steps; ++step) {
        const size_t from = size_t(step) * s.rank;
        for (int i = 0; i < kTileHeight; ++i) {
          const int8_t* a_row = &a[(size_t(tm) * kTileHeight + i) * k + from];
          for (int j = 0; j < width; ++j) {
            const int8_t* b_row = &b[(size_t(tn) * width + j) * k + from];
            int32_t sum = 0;
            for (int t = 0; t < s.rank; ++t) sum += int32_t(a_row[t]) * int32_t(b_row[t]);
            acc[size_t(i) * width + j] += static_cast<uint32_t>(sum);
          }
        }
        for (int c = 0; c < width; ++c) {
          uint32_t fold = 0;
          for (int v = 0; v < 2 * kCandidateColumns; ++v) fold ^= acc[size_t(pair_row(c, v)) * width + pair_col(c, v)];
          uint32_t& word = tile[c].words[step % 16];
          word = fold ^ rotl13(word);
        }
      }
    }
  }
}

std::vector<Digest> LaunchCandidates::digests(const std::vector<uint8_t>& key) const {
  std::vector<Digest> out(candidates_.size());
  for (size_t i = 0; i < candidates_.size(); ++i) out[i] = digest_of(candidates_[i].words, key.data());
  return out;
}

std::vector<uint8_t> numbered_digest_key(uint32_t index) {
  uint32_t words[16] = {index, 0x6b657973u};  // "keys"
  const uint8_t zero[32] = {};
  std::vector<uint8_t> key(32);
  blake3_keyed_hash_block(key.data(), words, zero);
  return key;
}

Digest zero_transcript_digest(const std::vector<uint8_t>& key) {
  const uint32_t zero[16] = {};
  return digest_of(zero, key.data());
}

SmallestTwo smallest_two(const std::vector<Digest>& digests) {
  SmallestTwo best{0, 1};
  if (digests[1] < digests[0]) best = {1, 0};
  for (size_t i = 2; i < digests.size(); ++i) {
    if (digests[i] < digests[best.first]) {
      best.second = best.first;
      best.first = i;
    } else if (digests[i] < digests[best.second]) {
      best.second = i;
    }
  }
  return best;
}

void expect_reported(const HostSignalHeader& h, const LaunchCandidate& expected, const Digest& digest,
                     int tile_width) {
  ASSERT_EQ(h.status, 1u) << "nothing reported";
  EXPECT_EQ(h.tile_m_index, expected.tile_m);
  EXPECT_EQ(h.tile_n_index, expected.tile_n);
  EXPECT_EQ(h.candidate_thread, expected.thread);
  EXPECT_EQ(h.tile_height, kTileHeight);
  EXPECT_EQ(h.tile_width, tile_width);
  ASSERT_EQ(h.pair_count, 2 * kCandidateColumns);
  bool pairs_match = true;
  for (int v = 0; v < 2 * kCandidateColumns; ++v) {
    pairs_match = pairs_match && h.pair_rows[v] == LaunchCandidates::pair_row(expected.thread, v) &&
                  h.pair_cols[v] == LaunchCandidates::pair_col(expected.thread, v);
  }
  EXPECT_TRUE(pairs_match) << "opened pairs differ from the candidate's rows and columns";
  EXPECT_EQ(0, std::memcmp(h.transcript, expected.words, sizeof(expected.words))) << "transcript";
  uint8_t bytes[32];
  for (int w = 0; w < 8; ++w) {
    for (int i = 0; i < 4; ++i) bytes[4 * w + i] = static_cast<uint8_t>(digest.words[w] >> (8 * i));
  }
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, bytes, 32)) << "kernel hash";
}
