// The native-exact debug kernels: plain int32 dot products of one 128 x 256
// tile, folded per candidate (rows 64·g + o and 64·g + o + 32, the 64
// columns from 64·q; o = c mod 32, g = (c / 32) mod 2, q = c / 64) and
// combined into the candidate's 16-word transcript. They state the rank-step
// arithmetic as directly as possible so that the check can trust them.
#include "backends/blackwell_native_exact_kernel.h"

#include "backends/headless_common.h"
#include "core/kernel_launch.h"

namespace vexal_blackwell_native_exact {

namespace {

constexpr int kTileRows = 128;
constexpr int kTileCols = 256;
constexpr int kDepth = 128;
constexpr int kCandidates = 256;
constexpr int kOwnedCells = 128;  // two rows of 64 columns
constexpr int kWords = 16;

__device__ inline uint32_t rotl13(uint32_t word) { return (word << 13) | (word >> 19); }

// Row (of A) and column (row of B) of cell `cell` (0..127) of candidate c, in the tile.
__device__ inline int cell_row(int candidate, int cell) {
  return 64 * ((candidate / 32) % 2) + candidate % 32 + 32 * (cell / 64);
}
__device__ inline int cell_col(int candidate, int cell) { return 64 * (candidate / 64) + cell % 64; }

__device__ inline uint32_t dot(const int8_t* a_row, const int8_t* b_row, int k_offset) {
  int32_t sum = 0;
  for (int t = k_offset; t < k_offset + kDepth; ++t) {
    sum += static_cast<int32_t>(a_row[t]) * static_cast<int32_t>(b_row[t]);
  }
  return static_cast<uint32_t>(sum);
}

__device__ inline const int8_t* a_row_of(const int8_t* a, int k, int tile_row, int row) {
  return a + (static_cast<int64_t>(tile_row) * kTileRows + row) * k;
}
__device__ inline const int8_t* b_row_of(const int8_t* b, int k, int tile_col, int col) {
  return b + (static_cast<int64_t>(tile_col) * kTileCols + col) * k;
}

// The XOR of candidate c's owned dot products over one window, formed by the
// block's 128 threads (one cell each); every thread gets it.
__device__ uint32_t owner_fold(const int8_t* a, const int8_t* b, int k, int tile_row, int tile_col,
                               int candidate, int k_offset, uint32_t* partial) {
  const int cell = static_cast<int>(threadIdx.x);
  partial[cell] = dot(a_row_of(a, k, tile_row, cell_row(candidate, cell)),
                      b_row_of(b, k, tile_col, cell_col(candidate, cell)), k_offset);
  __syncthreads();
  for (int width = kOwnedCells / 2; width > 0; width /= 2) {
    if (cell < width) partial[cell] ^= partial[cell + width];
    __syncthreads();
  }
  const uint32_t fold = partial[0];
  __syncthreads();
  return fold;
}

}  // namespace

__global__ void debug_rank_tile_kernel(const int8_t* a, const int8_t* b,
                                       const uint32_t* transcript_in, uint32_t* hashes,
                                       uint32_t* transcript_out, int k, int tile_row, int tile_col,
                                       int k_offset, int transcript_step) {
  __shared__ uint32_t folds[kCandidates];
  const int candidate = static_cast<int>(threadIdx.x);
  uint32_t fold = 0;
  for (int cell = 0; cell < kOwnedCells; ++cell) {
    fold ^= dot(a_row_of(a, k, tile_row, cell_row(candidate, cell)),
                b_row_of(b, k, tile_col, cell_col(candidate, cell)), k_offset);
  }
  folds[candidate] = fold;
  hashes[candidate] = fold;
  const int updated = transcript_step % kWords;
  for (int w = 0; w < kWords; ++w) {
    const uint32_t word = transcript_in[candidate * kWords + w];
    transcript_out[candidate * kWords + w] =
        w == updated ? folds[candidate] ^ rotl13(word) : word;
  }
}

__global__ void owner_debug_rank_tile_kernel(const int8_t* a, const int8_t* b,
                                             const uint32_t* transcript_in, uint32_t* hashes,
                                             uint32_t* transcript_out, int k, int tile_row,
                                             int tile_col, int k_offset, int transcript_step) {
  __shared__ uint32_t partial[kOwnedCells];
  const int candidate = static_cast<int>(blockIdx.x);
  const uint32_t fold = owner_fold(a, b, k, tile_row, tile_col, candidate, k_offset, partial);
  const int w = static_cast<int>(threadIdx.x);
  // Every word goes out, so the caller may chain steps through two arrays.
  if (w < kWords) {
    const uint32_t word = transcript_in[candidate * kWords + w];
    transcript_out[candidate * kWords + w] =
        w == transcript_step % kWords ? fold ^ rotl13(word) : word;
  }
  if (w == 0) hashes[candidate] = fold;
}

__global__ void owner_debug_full_tile_kernel(const int8_t* a, const int8_t* b,
                                             const uint32_t* transcript_in, uint32_t* hashes,
                                             uint32_t* transcript_out, int k, int tile_row,
                                             int tile_col) {
  __shared__ uint32_t partial[kOwnedCells];
  __shared__ uint32_t transcript[kWords];
  const int candidate = static_cast<int>(blockIdx.x);
  const int w = static_cast<int>(threadIdx.x);
  if (w < kWords) transcript[w] = transcript_in[candidate * kWords + w];
  __syncthreads();
  uint32_t aggregate = 0;
  for (int step = 0; step < k / kDepth; ++step) {
    const uint32_t fold = owner_fold(a, b, k, tile_row, tile_col, candidate, step * kDepth, partial);
    aggregate ^= fold;
    if (w == 0) transcript[step % kWords] = fold ^ rotl13(transcript[step % kWords]);
    __syncthreads();
  }
  if (w < kWords) transcript_out[candidate * kWords + w] = transcript[w];
  if (w == 0) hashes[candidate] = aggregate;
}

namespace {

// The checks shared by the three launchers, in their order; the rank-step
// ones only when `rank_step`.
bool arguments_valid(const int8_t* a, const int8_t* b, const uint32_t* transcript_in,
                     const uint32_t* hashes, const uint32_t* transcript_out, int m, int n, int k,
                     int tile_row, int tile_col, bool rank_step, int k_offset,
                     int transcript_step) {
  if (!a || !b || !transcript_in || !hashes || !transcript_out) return false;
  if (m < 1 || n < 1) return false;
  if (k < 1 || k % kDepth != 0) return false;
  if (rank_step && (k_offset < 0 || static_cast<int64_t>(k_offset) + kDepth > k)) return false;
  if (tile_row < 0 || tile_col < 0) return false;
  if ((static_cast<int64_t>(tile_row) + 1) * kTileRows > m) return false;
  if ((static_cast<int64_t>(tile_col) + 1) * kTileCols > n) return false;
  return !rank_step || transcript_step >= 0;
}

}  // namespace

cudaError_t launch_debug_rank_tile(const int8_t* a, const int8_t* b, const uint32_t* transcript_in,
                                   uint32_t* hashes, uint32_t* transcript_out, int m, int n, int k,
                                   int tile_row, int tile_col, int k_offset, int transcript_step,
                                   cudaStream_t stream) {
  if (!arguments_valid(a, b, transcript_in, hashes, transcript_out, m, n, k, tile_row, tile_col,
                       true, k_offset, transcript_step)) {
    return cudaErrorInvalidValue;
  }
  launch_kernel(debug_rank_tile_kernel, dim3(1, 1, 1), dim3(kCandidates, 1, 1), 0, stream, a, b,
                transcript_in, hashes, transcript_out, k, tile_row, tile_col, k_offset,
                transcript_step);
  return cudaGetLastError();
}

cudaError_t launch_owner_debug_rank_tile(const int8_t* a, const int8_t* b,
                                         const uint32_t* transcript_in, uint32_t* hashes,
                                         uint32_t* transcript_out, int m, int n, int k,
                                         int tile_row, int tile_col, int k_offset,
                                         int transcript_step, cudaStream_t stream) {
  if (!arguments_valid(a, b, transcript_in, hashes, transcript_out, m, n, k, tile_row, tile_col,
                       true, k_offset, transcript_step)) {
    return cudaErrorInvalidValue;
  }
  launch_kernel(owner_debug_rank_tile_kernel, dim3(kCandidates, 1, 1), dim3(kOwnedCells, 1, 1), 0,
                stream, a, b, transcript_in, hashes, transcript_out, k, tile_row, tile_col,
                k_offset, transcript_step);
  return cudaGetLastError();
}

cudaError_t launch_owner_debug_full_tile(const int8_t* a, const int8_t* b,
                                         const uint32_t* transcript_in, uint32_t* hashes,
                                         uint32_t* transcript_out, int m, int n, int k,
                                         int tile_row, int tile_col, cudaStream_t stream) {
  if (!arguments_valid(a, b, transcript_in, hashes, transcript_out, m, n, k, tile_row, tile_col,
                       false, 0, 0)) {
    return cudaErrorInvalidValue;
  }
  launch_kernel(owner_debug_full_tile_kernel, dim3(kCandidates, 1, 1), dim3(kOwnedCells, 1, 1), 0,
                stream, a, b, transcript_in, hashes, transcript_out, k, tile_row, tile_col);
  return cudaGetLastError();
}

}  // namespace vexal_blackwell_native_exact
