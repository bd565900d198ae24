#pragma once
// The kernels of vexal_headless_common and the shared slot operations (fill,
// noise generation, sparse noise, signal sizes). Every backend unit includes
// this header and so carries its own instance of each: the kernels and the
// operations have internal linkage, and each unit exports its slots under its
// own namespace. Units with own-namespace twins of the kernels build them
// from the same bodies below and hand them to the same operations.
#include <cstdint>

#include "backends/kernel_signal.h"
#include "backends/operand_fill_rule.h"
#include "backends/sparse_noise_rule.h"
#include "core/gpu_platform.h"
#include "core/kernel_launch.h"
#include "gemm/noise_generation_host.h"

namespace headless_common_body {

// Each thread writes 4 consecutive bytes (fewer at the end), never beyond count.
__device__ inline void fill_int8(int8_t* dst, int64_t count, uint64_t seed) {
  const int64_t first =
      (static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x) * 4;
  if (first >= count) return;
  uint32_t block[16];
  operand_fill_block(seed, static_cast<uint64_t>(first / 64), block);
  const uint32_t word = block[(first % 64) / 4];
  int8_t* out = dst + first;
  if (first + 4 <= count && reinterpret_cast<uintptr_t>(out) % 4 == 0) {
    *reinterpret_cast<uint32_t*>(out) = word;
    return;
  }
  for (int b = 0; b < 4 && first + b < count; ++b) out[b] = static_cast<int8_t>(word >> (8 * b));
}

// One thread per column of the right factor.
__device__ inline void extract_sparse_indices(const int8_t* right, int16_t* index0,
                                              int16_t* index1, int32_t k, int32_t rank) {
  const int64_t column = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (column >= k) return;
  sparse_column_indices(right, k, rank, column, &index0[column], &index1[column]);
}

// Block (row, chunk): the row's left factor in shared memory, then kColumns
// columns of the row. Each byte is read and written by one thread only, so
// x_out may be x.
template <int kColumns>
__device__ inline void apply_sparse_noise(const int8_t* x, const int8_t* left,
                                          const int16_t* index0, const int16_t* index1,
                                          int8_t* x_out, int32_t rows, int32_t k, int32_t rank) {
  const int64_t row = blockIdx.x;
  if (row >= rows) return;
  int8_t* left_row = korvath_dynamic_shared<int8_t>();
  for (int r = threadIdx.x; r < rank; r += blockDim.x) left_row[r] = left[row * rank + r];
  __syncthreads();
  const int64_t first = static_cast<int64_t>(blockIdx.y) * kColumns;
  const int64_t end = first + kColumns < k ? first + kColumns : k;
  for (int64_t c = first + threadIdx.x; c < end; c += blockDim.x) {
    const int64_t at = row * k + c;
    x_out[at] = sparse_noised_byte(x[at], left_row, rank, index0[c], index1[c]);
  }
}

}  // namespace headless_common_body

namespace vexal_headless_common {

constexpr int kSparseNoiseColumns = 4096;

static __global__ void fill_int8_kernel(int8_t* dst, int64_t count, uint64_t seed) {
  headless_common_body::fill_int8(dst, count, seed);
}

static __global__ void extract_sparse_indices_kernel(const int8_t* right, int16_t* index0,
                                                     int16_t* index1, int32_t k, int32_t rank) {
  headless_common_body::extract_sparse_indices(right, index0, index1, k, rank);
}

static __global__ void apply_sparse_noise_kernel(const int8_t* x, const int8_t* left,
                                                 const int16_t* index0, const int16_t* index1,
                                                 int8_t* x_out, int32_t rows, int32_t k,
                                                 int32_t rank) {
  headless_common_body::apply_sparse_noise<kSparseNoiseColumns>(x, left, index0, index1, x_out,
                                                                rows, k, rank);
}

// The transcripts are built inside the mining kernels; these two stay empty.
[[maybe_unused]] static __global__ void update_transcripts_kernel(
    const int32_t*, uint32_t*, const int32_t*, const int32_t*, const int32_t*, const int32_t*,
    int32_t, int32_t, int32_t, int32_t, int32_t, int32_t) {}

[[maybe_unused]] static __global__ void check_transcripts_kernel(
    const uint32_t*, const int32_t*, const int32_t*, const int32_t*, const int32_t*,
    HostSignalHeader*, HostSignalSync*, const uint32_t*, const uint32_t*, int32_t, int32_t,
    int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t) {}

}  // namespace vexal_headless_common

namespace headless_slots {

using FillKernel = void (*)(int8_t*, int64_t, uint64_t);
using ExtractKernel = void (*)(const int8_t*, int16_t*, int16_t*, int32_t, int32_t);
using ApplyKernel = void (*)(const int8_t*, const int8_t*, const int16_t*, const int16_t*, int8_t*,
                             int32_t, int32_t, int32_t);

[[maybe_unused]] static cudaError_t launch_fill_int8(FillKernel kernel, int8_t* dst, int64_t count,
                                                     uint64_t seed, cudaStream_t stream) {
  if (dst == nullptr || count < 1) return cudaErrorInvalidValue;
  const int64_t threads = (count + 3) / 4;
  const int64_t blocks = (threads + 255) / 256;
  launch_kernel(kernel, dim3(static_cast<unsigned>(blocks), 1, 1), dim3(256, 1, 1), 0, stream,
                dst, count, seed);
  return cudaGetLastError();
}

[[maybe_unused]] static cudaError_t launch_generate_noise(int rank, int m, int n, int k,
                                                          int8_t* a_left, int8_t* a_right,
                                                          int8_t* b_right, int8_t* b_left,
                                                          const uint8_t* seed_a,
                                                          const uint8_t* seed_b,
                                                          cudaStream_t stream) {
  if (rank != 64 && rank != 128) return cudaErrorInvalidValue;
  if (m < 1 || n < 1 || k < 1) return cudaErrorInvalidValue;
  if (!a_left || !a_right || !b_right || !b_left || !seed_a || !seed_b) {
    return cudaErrorInvalidValue;
  }
  NoiseGenerationArgs args{};
  args.left_a = a_left;
  args.right_a = a_right;
  args.right_b = b_right;
  args.left_b = b_left;
  args.m = m;
  args.n = n;
  args.k = k;
  args.rank = rank;
  args.seed_a = seed_a;
  args.seed_b = seed_b;
  if (rank == 64) {
    vexal::run_noise_generation<64, 128>(args, stream);
  } else {
    vexal::run_noise_generation<128, 128>(args, stream);
  }
  return cudaGetLastError();
}

// The extract-then-apply pair on checked arguments; the first error stops it.
[[maybe_unused]] static cudaError_t sparse_noise_pair(ExtractKernel extract, ApplyKernel apply,
                                                      int column_chunk, const int8_t* x,
                                                      const int8_t* left, const int8_t* right,
                                                      int8_t* x_out, int16_t* index0,
                                                      int16_t* index1, int rows, int k, int rank,
                                                      cudaStream_t stream) {
  launch_kernel(extract, dim3(static_cast<unsigned>((k + 255) / 256), 1, 1), dim3(256, 1, 1), 0,
                stream, right, index0, index1, k, rank);
  const cudaError_t extracted = cudaGetLastError();
  if (extracted != cudaSuccess) return extracted;
  const unsigned chunks = static_cast<unsigned>((static_cast<int64_t>(k) + column_chunk - 1) / column_chunk);
  launch_kernel(apply, dim3(static_cast<unsigned>(rows), chunks, 1), dim3(256, 1, 1),
                static_cast<size_t>(rank), stream, x, left, index0, index1, x_out, rows, k, rank);
  return cudaGetLastError();
}

[[maybe_unused]] static cudaError_t launch_apply_sparse_noise(
    ExtractKernel extract, ApplyKernel apply, int column_chunk, const int8_t* x, const int8_t* left,
    const int8_t* right, int8_t* x_out, int16_t* index0, int16_t* index1, int rows, int k,
    int rank, cudaStream_t stream) {
  if (!x || !left || !right || !x_out || !index0 || !index1) return cudaErrorInvalidValue;
  if (rows < 1 || k < 1 || rank < 1) return cudaErrorInvalidValue;
  return sparse_noise_pair(extract, apply, column_chunk, x, left, right, x_out, index0, index1,
                           rows, k, rank, stream);
}

// The first stages of the fused slots: A's arguments and sparse noise, then
// B's; a refusal of B comes after A's noise is enqueued.
[[maybe_unused]] static cudaError_t noise_both_operands(
    headless_slots::ExtractKernel extract, headless_slots::ApplyKernel apply, int column_chunk,
    const int8_t* a, const int8_t* b, const int8_t* a_left, const int8_t* b_left,
    const int8_t* a_right, const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
    int16_t* a_index0, int16_t* a_index1, int16_t* b_index0, int16_t* b_index1, int m, int n,
    int k, int rank, cudaStream_t stream) {
  if (!a || !a_left || !a_right || !noised_a || !a_index0 || !a_index1) {
    return cudaErrorInvalidValue;
  }
  if (m < 1 || k < 1 || rank < 1) return cudaErrorInvalidValue;
  const cudaError_t error =
      headless_slots::sparse_noise_pair(extract, apply, column_chunk, a, a_left, a_right, noised_a,
                                        a_index0, a_index1, m, k, rank, stream);
  if (error != cudaSuccess) return error;
  if (!b || !b_left || !b_right || !noised_b || !b_index0 || !b_index1) {
    return cudaErrorInvalidValue;
  }
  if (n < 1) return cudaErrorInvalidValue;
  return headless_slots::sparse_noise_pair(extract, apply, column_chunk, b, b_left, b_right,
                                           noised_b, b_index0, b_index1, n, k, rank, stream);
}

// The common kernels with their column chunk.
[[maybe_unused]] static cudaError_t common_fill_int8(int8_t* dst, int64_t count, uint64_t seed,
                                                     cudaStream_t stream) {
  return launch_fill_int8(vexal_headless_common::fill_int8_kernel, dst, count, seed, stream);
}

[[maybe_unused]] static cudaError_t common_sparse_noise_pair(const int8_t* x, const int8_t* left,
                                                             const int8_t* right, int8_t* x_out,
                                                             int16_t* index0, int16_t* index1,
                                                             int rows, int k, int rank,
                                                             cudaStream_t stream) {
  return sparse_noise_pair(vexal_headless_common::extract_sparse_indices_kernel,
                           vexal_headless_common::apply_sparse_noise_kernel,
                           vexal_headless_common::kSparseNoiseColumns, x, left, right, x_out,
                           index0, index1, rows, k, rank, stream);
}

[[maybe_unused]] static cudaError_t common_noise_both_operands(
    const int8_t* a, const int8_t* b, const int8_t* a_left, const int8_t* b_left,
    const int8_t* a_right, const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
    int16_t* a_index0, int16_t* a_index1, int16_t* b_index0, int16_t* b_index1, int m, int n,
    int k, int rank, cudaStream_t stream) {
  return noise_both_operands(vexal_headless_common::extract_sparse_indices_kernel,
                             vexal_headless_common::apply_sparse_noise_kernel,
                             vexal_headless_common::kSparseNoiseColumns, a, b, a_left, b_left,
                             a_right, b_right, noised_a, noised_b, a_index0, a_index1, b_index0,
                             b_index1, m, n, k, rank, stream);
}

[[maybe_unused]] static cudaError_t common_apply_sparse_noise(const int8_t* x, const int8_t* left,
                                                              const int8_t* right, int8_t* x_out,
                                                              int16_t* index0, int16_t* index1,
                                                              int rows, int k, int rank,
                                                              cudaStream_t stream) {
  return launch_apply_sparse_noise(vexal_headless_common::extract_sparse_indices_kernel,
                                   vexal_headless_common::apply_sparse_noise_kernel,
                                   vexal_headless_common::kSparseNoiseColumns, x, left, right,
                                   x_out, index0, index1, rows, k, rank, stream);
}

[[maybe_unused]] static uint64_t signal_header_bytes() { return sizeof(HostSignalHeader); }
[[maybe_unused]] static uint64_t signal_sync_bytes() { return sizeof(HostSignalSync); }

}  // namespace headless_slots
