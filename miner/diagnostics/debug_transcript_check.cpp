#include "diagnostics/debug_transcript_check.h"

#include <algorithm>

#include "backends/kernel_signal.h"
#include "core/blake3_block.h"
#include "core/config.h"
#include "core/device_rows.h"
#include "engine/cpu_tile_transcript.h"
#include "proof/plain_proof.h"

namespace {

uint32_t rotl32(uint32_t word, int bits) { return (word << bits) | (word >> (32 - bits)); }

std::vector<int8_t> as_int8(const std::vector<uint8_t>& bytes) {
  return std::vector<int8_t>(bytes.begin(), bytes.end());
}

// Replays the sub-tile made of the listed tile rows and columns.
bool sub_tile_matches(const std::vector<int8_t>& a_tile, const std::vector<int8_t>& b_tile,
                      const std::vector<int32_t>& rows, const std::vector<int32_t>& cols,
                      const uint32_t kernel_words[16], const uint8_t key[32],
                      const Config& config) {
  const size_t k = static_cast<size_t>(config.k);
  std::vector<int8_t> a_rows;
  std::vector<int8_t> b_rows;
  OpenedRowsCols shape;
  for (int32_t r : rows) {
    a_rows.insert(a_rows.end(), a_tile.begin() + r * k, a_tile.begin() + (r + 1) * k);
    shape.rows.push_back(static_cast<uint64_t>(r));
  }
  for (int32_t c : cols) {
    b_rows.insert(b_rows.end(), b_tile.begin() + c * k, b_tile.begin() + (c + 1) * k);
    shape.cols.push_back(static_cast<uint64_t>(c));
  }
  uint8_t hash[32];
  uint32_t words[16];
  cpu_tile_transcript(hash, a_rows, b_rows, shape, key, config, words);
  return std::equal(words, words + 16, kernel_words);
}

}  // namespace

std::array<uint32_t, 16> rank_local_transcript(const std::vector<int8_t>& a_rows,
                                               const std::vector<int8_t>& b_rows, size_t nr,
                                               size_t nc, int32_t k, int32_t rank) {
  std::array<uint32_t, 16> state{};
  const size_t kk = static_cast<size_t>(k);
  for (int32_t q = 0; static_cast<int64_t>(q) * rank < k; ++q) {
    const int32_t begin = q * rank;
    const int32_t end = std::min(begin + rank, k);
    uint32_t fold = 0;
    for (size_t i = 0; i < nr; ++i) {
      for (size_t j = 0; j < nc; ++j) {
        uint32_t sum = 0;
        for (int32_t t = begin; t < end; ++t) {
          sum += static_cast<uint32_t>(static_cast<int32_t>(a_rows[i * kk + t]) *
                                       static_cast<int32_t>(b_rows[j * kk + t]));
        }
        fold ^= sum;
      }
    }
    uint32_t& word = state[static_cast<size_t>(q) % 16];
    word = rotl32(word, 13) ^ fold;
  }
  return state;
}

std::string find_transcript_in_tile(const std::vector<int8_t>& a_tile,
                                    const std::vector<int8_t>& b_tile, int32_t tile_height,
                                    int32_t tile_width, const uint32_t kernel_words[16],
                                    const uint8_t key[32], const Config& config) {
  const int32_t row_groups = tile_height / 64;
  const int32_t col_groups = tile_width / 64;
  for (int32_t g = 0; g < row_groups; ++g) {
    for (int32_t c = 0; c < col_groups; ++c) {
      for (int32_t r = 0; r < 32; ++r) {
        const int32_t r0 = 64 * g + 16 * (r / 8) + (r % 8);
        std::vector<int32_t> cols;
        for (int32_t q = 0; q < 32; ++q) {
          cols.push_back(2 * c + 8 * q);
          cols.push_back(2 * c + 8 * q + 1);
        }
        if (cols.back() >= tile_width) continue;
        if (sub_tile_matches(a_tile, b_tile, {r0, r0 + 8}, cols, kernel_words, key, config)) {
          return "row_group=" + std::to_string(g) + " col_group=" + std::to_string(c) +
                 " row_offset=" + std::to_string(r) + " local_rows=" + std::to_string(r0) + "," +
                 std::to_string(r0 + 8) + " local_col0=" + std::to_string(2 * c);
        }
      }
    }
  }
  for (int32_t g = 0; g < row_groups; ++g) {
    for (int32_t c = 0; c < col_groups; ++c) {
      for (int32_t r = 0; r < 32; ++r) {
        const int32_t r0 = 64 * g + r;
        std::vector<int32_t> cols;
        for (int32_t q = 0; q < 64; ++q) cols.push_back(64 * c + q);
        if (sub_tile_matches(a_tile, b_tile, {r0, r0 + 32}, cols, kernel_words, key, config)) {
          return "raw row_group=" + std::to_string(g) + " col_group=" + std::to_string(c) +
                 " row_offset=" + std::to_string(r) + " local_rows=" + std::to_string(r0) + "," +
                 std::to_string(r0 + 32) + " local_col0=" + std::to_string(64 * c);
        }
      }
    }
  }
  return "none";
}

DebugTranscriptResults debug_transcript_check(const Config& config, const int8_t* noised_a,
                                              const int8_t* noised_b,
                                              const HostSignalHeader& header,
                                              const OpenedRowsCols& opened,
                                              const uint8_t a_noise_seed[32]) {
  DebugTranscriptResults results;
  const int32_t k = config.k;
  const std::vector<int8_t> a_rows =
      as_int8(gather_device_rows(noised_a, opened.rows, k, "copy A' debug rows"));
  const std::vector<int8_t> b_rows =
      as_int8(gather_device_rows(noised_b, opened.cols, k, "copy B' debug rows"));
  cpu_tile_transcript(results.cpu_replay_kernel_hash.data(), a_rows, b_rows, opened,
                      a_noise_seed, config, results.cpu_transcript.data());

  const std::array<uint32_t, 16> local = rank_local_transcript(
      a_rows, b_rows, opened.rows.size(), opened.cols.size(), k, config.rank);
  blake3_keyed_hash_block(results.cpu_rank_local_hash.data(), local.data(), a_noise_seed);

  std::copy(header.transcript, header.transcript + 16, results.kernel_transcript.begin());
  blake3_keyed_hash_block(results.kernel_transcript_hash.data(), header.transcript,
                          a_noise_seed);

  const int32_t height = header.tile_height;
  const int32_t width = header.tile_width;
  const std::vector<int8_t> a_tile = as_int8(copy_rows_to_host(
      noised_a, static_cast<int64_t>(header.tile_m_index) * height,
      static_cast<uint64_t>(std::max(height, 0)), k, "copy A' debug tile"));
  const std::vector<int8_t> b_tile = as_int8(copy_rows_to_host(
      noised_b, static_cast<int64_t>(header.tile_n_index) * width,
      static_cast<uint64_t>(std::max(width, 0)), k, "copy B' debug tile"));
  results.kernel_transcript_match = find_transcript_in_tile(a_tile, b_tile, height, width,
                                                            header.transcript, a_noise_seed,
                                                            config);
  return results;
}
