#include "engine/candidate_transcript.h"

#include <algorithm>
#include <vector>

#include "backends/kernel_signal.h"
#include "core/blake3_block.h"
#include "core/config.h"
#include "core/cuda_check.h"
#include "core/device_rows.h"
#include "engine/cpu_tile_transcript.h"
#include "proof/candidate_rows_cols.h"

CandidateTranscriptCheck check_candidate_transcript(const HostSignalHeader& header,
                                                    const int8_t* noised_a,
                                                    const int8_t* noised_b,
                                                    const uint8_t* a_noise_seed,
                                                    const Config& shape) {
  CandidateTranscriptCheck check;
  uint8_t seed[32];
  check_cuda(cudaMemcpy(seed, a_noise_seed, 32, cudaMemcpyDeviceToHost),
             "copy transcript check A noise seed");
  const OpenedRowsCols opened = candidate_rows_cols(header);
  const std::vector<uint8_t> a_bytes =
      gather_device_rows(noised_a, opened.rows, shape.k, "copy A' transcript rows");
  const std::vector<uint8_t> b_bytes =
      gather_device_rows(noised_b, opened.cols, shape.k, "copy B' transcript rows");
  const std::vector<int8_t> a_rows(a_bytes.begin(), a_bytes.end());
  const std::vector<int8_t> b_rows(b_bytes.begin(), b_bytes.end());
  cpu_tile_transcript(check.replay_hash.data(), a_rows, b_rows, opened, seed, shape,
                      check.replay_words.data());
  blake3_keyed_hash_block(check.kernel_words_hash.data(), header.transcript, seed);
  check.kernel_hash_matches =
      std::equal(check.kernel_words_hash.begin(), check.kernel_words_hash.end(),
                 header.kernel_hash);
  check.replay_matches =
      std::equal(check.replay_words.begin(), check.replay_words.end(), header.transcript);
  return check;
}
