#pragma once
// The native-exact rank-tile check: the native-exact debug kernels and the
// backend's debug GEMM against a CPU replay of one rank step and a 4096-deep
// sequence, on fixed inputs.
#include <cstdint>
#include <string>
#include <vector>

struct GpuBackendDescriptor;

struct NativeExactGeometry {
  int32_t tile_m = 128;
  int32_t tile_n = 256;
  int32_t tile_k = 128;
  int32_t warp_tile_n = 64;
};

// The row's getters, or the native defaults; throws on a geometry no
// candidate layout fits.
NativeExactGeometry native_exact_geometry(const GpuBackendDescriptor& row);

int32_t native_exact_candidates(const NativeExactGeometry& g);

// Word j of the transcript array the kernels start from.
std::vector<uint32_t> native_exact_initial_transcript(int32_t candidates);

// XOR of candidate c's dot products over [k0, k0 + width) of rows of length row_length.
uint32_t native_exact_fold(const NativeExactGeometry& g, int32_t candidate,
                           const std::vector<int8_t>& a, const std::vector<int8_t>& b,
                           int32_t row_length, int32_t k0, int32_t width);

// Word (step mod 16) of candidate c becomes fold ^ rotl32(word, 13).
void native_exact_rank_step(std::vector<uint32_t>& transcript, int32_t candidate, int32_t step,
                            uint32_t fold);

// A count of differing elements and the first of them.
struct MismatchTally {
  int32_t count = 0;
  int32_t first = -1;
};
MismatchTally tally_mismatches(const std::vector<uint32_t>& gpu, const std::vector<uint32_t>& cpu);

// The CPU side of both phases, on the fixed inputs of the geometry.
struct NativeExactCpuReplay {
  int32_t candidates = 0;
  int32_t full_rank_steps = 0;
  std::vector<int8_t> a, b;    // rank step: tile_m (tile_n) rows of tile_k
  std::vector<int8_t> a2, b2;  // sequence: tile_m (tile_n) rows of 4096
  std::vector<uint32_t> initial_transcript;
  std::vector<uint32_t> hash;                 // fold of each candidate over the rank step
  std::vector<uint32_t> transcript;           // after the rank step (transcript step 3)
  std::vector<uint32_t> sequence_transcript;  // after every full rank step of the depth
  std::vector<uint32_t> aggregate_hash;       // XOR of each candidate's sequence folds
};
NativeExactCpuReplay native_exact_cpu_replay(const NativeExactGeometry& g);

// What the GPU returned, read back in the order of the check.
struct NativeExactGpuResults {
  std::vector<uint32_t> hashes, transcript;
  std::vector<uint32_t> owner_hashes, owner_transcript;
  std::vector<int32_t> tile_accumulators, tile_counts;  // tile_m x tile_n, row-major
  std::vector<uint32_t> full_owner_transcript, full_tile_transcript, full_tile_hashes;
};

// The report line, newline included.
std::string native_exact_report_line(const NativeExactGeometry& g, const NativeExactCpuReplay& cpu,
                                     const NativeExactGpuResults& gpu);

// Runs the check on the current device and writes its report line; throws
// on the geometry error and on any CUDA failure (mismatches are reported).
void debug_native_exact_rank_tile(const GpuBackendDescriptor& backend);
