#pragma once
// The CPU replays of a candidate's transcript that travel with its proof for
// a reader to compare; nothing here judges them.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct Config;
struct HostSignalHeader;
struct OpenedRowsCols;

struct DebugTranscriptResults {
  std::array<uint8_t, 32> cpu_replay_kernel_hash{};
  std::array<uint8_t, 32> cpu_rank_local_hash{};
  std::array<uint8_t, 32> kernel_transcript_hash{};
  std::array<uint32_t, 16> cpu_transcript{};
  std::array<uint32_t, 16> kernel_transcript{};
  std::string kernel_transcript_match;
};

// The 16 words of a replay whose folds cover each rank step's columns only.
std::array<uint32_t, 16> rank_local_transcript(const std::vector<int8_t>& a_rows,
                                               const std::vector<int8_t>& b_rows, size_t nr,
                                               size_t nc, int32_t k, int32_t rank);

// Which 2-row by 64-column sub-tile of the winning tile reproduces the
// kernel's words: the fragment layout first, then the raw one; "none" otherwise.
// a_tile holds tile_height rows and b_tile tile_width rows of k values.
std::string find_transcript_in_tile(const std::vector<int8_t>& a_tile,
                                    const std::vector<int8_t>& b_tile, int32_t tile_height,
                                    int32_t tile_width, const uint32_t kernel_words[16],
                                    const uint8_t key[32], const Config& config);

// The whole check for a candidate of a synchronised attempt: noised_a and
// noised_b are the mined operands in device memory, a_noise_seed the host
// copy of the launch's seed. Blocking copies on the legacy stream.
DebugTranscriptResults debug_transcript_check(const Config& config, const int8_t* noised_a,
                                              const int8_t* noised_b,
                                              const HostSignalHeader& header,
                                              const OpenedRowsCols& opened,
                                              const uint8_t a_noise_seed[32]);
