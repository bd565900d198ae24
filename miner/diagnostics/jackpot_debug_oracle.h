#pragma once
// Replays the winning thread of a jackpot-dump attempt on the CPU, step by
// step, and reports where the GPU's records first disagree and why.
#include <cstdint>
#include <string>
#include <vector>

#include "backends/kernel_signal.h"

struct Config;
struct GpuBackendDescriptor;

// Where the winning thread's records sit and how its tile is laid out.
struct JackpotGeometry {
  int32_t steps = 0;                // k / rank
  int32_t pairs = 0;                // values per step (P)
  int32_t half = 0;                 // columns per row of the thread
  int32_t candidates_per_block = 0;
  int64_t global_block = 0;
  int64_t entry_base = 0;           // first entry of the thread
};

// Throws "invalid jackpot debug transcript geometry" for a header no dump
// kernel can have written.
JackpotGeometry jackpot_geometry(const Config& config, const HostSignalHeader& header);

// Rows and columns of candidate c of a tile.
struct JackpotCandidateLayout {
  int32_t row_group = 0;
  int32_t col_group = 0;
  int32_t row_offset = 0;
};
JackpotCandidateLayout jackpot_candidate_layout(int32_t candidate, int32_t tile_height);

struct JackpotReplayStep {
  uint32_t transcript_index = 0;
  uint32_t xored_tile = 0;
  uint32_t transcript_word = 0;
  uint32_t k_pos = 0;
};

struct JackpotReplay {
  std::vector<JackpotReplayStep> steps;
  std::vector<int32_t> snapshots;  // accumulators after each step, step-major, row-major
};

// a_rows: nr rows of k values; b_rows: nc rows of k values.
JackpotReplay cpu_jackpot_replay(const std::vector<int8_t>& a_rows,
                                 const std::vector<int8_t>& b_rows, int32_t nr, int32_t nc,
                                 int32_t k, int32_t rank);

struct JackpotDivergence {
  int32_t step = -1;
  std::string reason = "none";
};

// The first step whose GPU record, values or counts disagree with the replay.
JackpotDivergence first_jackpot_divergence(const std::vector<VexalHeadlessJackpotDumpEntry>& entries,
                                           const std::vector<int32_t>& values,
                                           const std::vector<uint32_t>& counts,
                                           const JackpotReplay& replay, int32_t pairs);

// " name=v0,v1,..." of count values from first on, to standard output.
void print_int_list_field(const char* name, const std::vector<int32_t>& values, size_t first,
                          size_t count);

// Reads the dump of the candidate's thread and prints the report lines.
// Does nothing when a dump buffer is absent.
void jackpot_debug_oracle(const Config& config, const GpuBackendDescriptor& row,
                          const HostSignalHeader* header,
                          const VexalHeadlessJackpotDumpEntry* entry_buffer,
                          const int32_t* value_buffer, const uint32_t* count_buffer,
                          const int8_t* raw_a, const int8_t* raw_b, const int8_t* noised_a,
                          const int8_t* noised_b, const uint8_t a_noise_seed[32],
                          const uint8_t b_noise_seed[32]);
