#pragma once
// The explicit (non-CuTe) mining backends: one block of 128 threads per
// 128 x 128 output tile over the whole of k, no shared memory. The bodies are
// templates over the unit's int8 arithmetic, so the units differ only there:
//   struct Arithmetic {
//     using Operand = ...;                                   // a prepared A word
//     static Operand prepare(uint32_t a_word);               // 4 int8 of A
//     static int32_t dot4(Operand a, uint32_t b_word, int32_t acc);  // acc + a · b
//   };
// The kernels and the slot operations are templates over it as well: a unit
// defines its Arithmetic and instantiates Slots<Arithmetic> once.
//
// Thread t of a block holds rows 64·g + o and 64·g + o + 32 of the tile and
// columns 64·c to 64·c + 63, with o = t mod 32, g = (t / 32) mod 2 and
// c = t / 64: the layout the diagnostics replay.
#include <cstdint>
#include <type_traits>

#include "backends/explicit_mining_slots.h"
#include "backends/headless_common.h"
#include "backends/kernel_signal.h"
#include "backends/mining_epilogue.h"
#include "core/gpu_platform.h"
#include "core/kernel_launch.h"

namespace explicit_mining {

constexpr int kTile = 128;
constexpr int kThreads = 128;
constexpr int kColumnsPerThread = 64;
constexpr int kValuesPerThread = 2 * kColumnsPerThread;

// Value v of thread t: row v / 64 of its pair, column v mod 64 of its group.
__host__ __device__ inline TilePosition value_position(int thread, int v) {
  const int row = 64 * ((thread / 32) % 2) + thread % 32 + 32 * (v / kColumnsPerThread);
  const int col = kColumnsPerThread * (thread / 64) + v % kColumnsPerThread;
  return TilePosition{static_cast<uint16_t>(row), static_cast<uint16_t>(col)};
}

__device__ inline uint32_t load_word(const int8_t* p) {
  return *reinterpret_cast<const uint32_t*>(p);
}

template <typename Arithmetic>
__device__ void mine_tile(const int8_t* a, const int8_t* b, int m, int k, int rank,
                          const MiningOutputs& outputs) {
  const int thread = static_cast<int>(threadIdx.x);
  const TilePosition origin = value_position(thread, 0);
  const int8_t* a_row0 = a + (static_cast<int64_t>(blockIdx.x) * kTile + origin.row) * k;
  const int8_t* a_row1 = a_row0 + static_cast<int64_t>(32) * k;
  const int8_t* b_rows = b + (static_cast<int64_t>(blockIdx.y) * kTile + origin.col) * k;

  MiningThreadPlace place;
  place.tile_m_index = blockIdx.x;
  place.tile_n_index = blockIdx.y;
  place.tile_m_count = static_cast<uint32_t>(m / kTile);
  place.thread = thread;
  place.threads_per_block = kThreads;
  place.tile_height = kTile;
  place.tile_width = kTile;
  place.k = k;
  place.rank = rank;
  MiningEpilogue<kValuesPerThread> epilogue(outputs, place);

  int32_t acc[kValuesPerThread];
#pragma unroll
  for (int v = 0; v < kValuesPerThread; ++v) acc[v] = 0;
  const auto values = [&acc](int v) { return acc[v]; };
  const auto positions = [thread](int v) { return value_position(thread, v); };

  // Two copies of the loop, so that the mining one carries no dump code.
  const auto accumulate = [&](auto dump) {
    for (int k_pos = rank; k_pos <= k; k_pos += rank) {
      for (int t = k_pos - rank; t < k_pos; t += 4) {
        const typename Arithmetic::Operand a0 = Arithmetic::prepare(load_word(a_row0 + t));
        const typename Arithmetic::Operand a1 = Arithmetic::prepare(load_word(a_row1 + t));
#pragma unroll
        for (int j = 0; j < kColumnsPerThread; ++j) {
          const uint32_t b_word = load_word(b_rows + static_cast<int64_t>(j) * k + t);
          acc[j] = Arithmetic::dot4(a0, b_word, acc[j]);
          acc[kColumnsPerThread + j] = Arithmetic::dot4(a1, b_word, acc[kColumnsPerThread + j]);
        }
      }
      epilogue.template end_step<decltype(dump)::value>(k_pos, values, positions);
    }
  };
  if (epilogue.dump_on()) {
    accumulate(std::true_type{});
  } else {
    accumulate(std::false_type{});
  }
  epilogue.finish(positions);
}

// Up to 4 bytes of a row from column t, zero past the end.
__device__ inline uint32_t load_word_padded(const int8_t* row, int t, int k) {
  uint32_t word = 0;
  for (int i = 0; i < 4 && t + i < k; ++i) word |= static_cast<uint32_t>(static_cast<uint8_t>(row[t + i])) << (8 * i);
  return word;
}

// One thread per product element of an m x n tile.
template <typename Arithmetic>
__device__ void debug_gemm_tile(const int8_t* a, const int8_t* b, int32_t* product,
                                int32_t* counts, int m, int n, int k) {
  const int index = static_cast<int>(blockIdx.x) * static_cast<int>(blockDim.x) +
                    static_cast<int>(threadIdx.x);
  if (index >= m * n) return;
  const int i = index / n;
  const int j = index % n;
  const int8_t* a_row = a + static_cast<int64_t>(i) * k;
  const int8_t* b_row = b + static_cast<int64_t>(j) * k;
  int32_t sum = 0;
  for (int t = 0; t < k; t += 4) {
    sum = Arithmetic::dot4(Arithmetic::prepare(load_word_padded(a_row, t, k)),
                           load_word_padded(b_row, t, k), sum);
  }
  product[index] = sum;
  counts[index] += 1;
}

// The tile positions of every accumulator of the 128 threads of a mining block.
__device__ inline void dump_headless_coords(uint16_t* rows, uint16_t* cols, int32_t* meta) {
  const int thread = static_cast<int>(threadIdx.x);
  for (int v = 0; v < kValuesPerThread; ++v) {
    const TilePosition at = value_position(thread, v);
    rows[thread * 256 + v] = at.row;
    cols[thread * 256 + v] = at.col;
  }
  if (thread == 0) {
    meta[0] = kValuesPerThread;  // values per thread
    meta[1] = kThreads;          // thread count
  }
}

// The unit's kernels: the instance of Arithmetic names them apart.
template <typename Arithmetic>
__global__ void __launch_bounds__(kThreads)
    headless_mine_kernel(const int8_t* a, const int8_t* b, int32_t m, int32_t n, int32_t k,
                         int32_t rank, HostSignalHeader* header, HostSignalSync* sync,
                         const uint32_t* target, const uint32_t* seed,
                         VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                         uint32_t* value_counts, int32_t capacity) {
  (void)n;
  const MiningOutputs outputs{header, sync, target, seed, entries, values, value_counts, capacity};
  mine_tile<Arithmetic>(a, b, m, k, rank, outputs);
}

template <typename Arithmetic>
__global__ void debug_gemm_tile_kernel(const int8_t* a, const int8_t* b, int32_t* product,
                                       int32_t* counts, int32_t m, int32_t n, int32_t k) {
  debug_gemm_tile<Arithmetic>(a, b, product, counts, m, n, k);
}

template <typename Arithmetic>
__global__ void dump_headless_coords_kernel(uint16_t* rows, uint16_t* cols, int32_t* meta) {
  dump_headless_coords(rows, cols, meta);
}

template <typename Arithmetic>
cudaError_t Slots<Arithmetic>::launch_fill_int8(int8_t* dst, int64_t count, uint64_t seed,
                                                cudaStream_t stream) {
  return headless_slots::common_fill_int8(dst, count, seed, stream);
}

template <typename Arithmetic>
cudaError_t Slots<Arithmetic>::launch_generate_noise(int rank, int m, int n, int k,
                                                     int8_t* a_left, int8_t* a_right,
                                                     int8_t* b_right, int8_t* b_left,
                                                     const uint8_t* seed_a, const uint8_t* seed_b,
                                                     cudaStream_t stream) {
  return headless_slots::launch_generate_noise(rank, m, n, k, a_left, a_right, b_right, b_left,
                                               seed_a, seed_b, stream);
}

// Slots 5 and 6: sparse noise of A, then of B, then the mining launch, each
// stage checked just before it runs. The one mining kernel serves both.
template <typename Arithmetic>
cudaError_t Slots<Arithmetic>::launch_noise_and_mine_dump(
    const int8_t* a, const int8_t* b, const int8_t* a_left, const int8_t* b_left,
    const int8_t* a_right, const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
    int16_t* a_index0, int16_t* a_index1, int16_t* b_index0, int16_t* b_index1, int m, int n,
    int k, int rank, HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
    const uint32_t* seed, VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
    uint32_t* value_counts, int capacity, cudaStream_t stream) {
  const cudaError_t error = headless_slots::common_noise_both_operands(
      a, b, a_left, b_left, a_right, b_right, noised_a, noised_b, a_index0, a_index1, b_index0,
      b_index1, m, n, k, rank, stream);
  if (error != cudaSuccess) return error;

  if (!header || !sync || !target || !seed) return cudaErrorInvalidValue;
  if (m % kTile != 0 || n % kTile != 0) return cudaErrorInvalidValue;
  if (k % rank != 0 || rank % 4 != 0) return cudaErrorInvalidValue;
  launch_kernel(headless_mine_kernel<Arithmetic>,
                dim3(static_cast<unsigned>(m / kTile), static_cast<unsigned>(n / kTile), 1),
                dim3(kThreads, 1, 1), 0, stream, noised_a, noised_b, m, n, k, rank, header, sync,
                target, seed, entries, values, value_counts, capacity);
  return cudaGetLastError();
}

template <typename Arithmetic>
cudaError_t Slots<Arithmetic>::launch_noise_and_mine(
    const int8_t* a, const int8_t* b, const int8_t* a_left, const int8_t* b_left,
    const int8_t* a_right, const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
    int16_t* a_index0, int16_t* a_index1, int16_t* b_index0, int16_t* b_index1, int m, int n,
    int k, int rank, HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
    const uint32_t* seed, uint32_t* extra, cudaStream_t stream) {
  (void)extra;
  return launch_noise_and_mine_dump(a, b, a_left, b_left, a_right, b_right, noised_a, noised_b,
                                    a_index0, a_index1, b_index0, b_index1, m, n, k, rank, header,
                                    sync, target, seed, nullptr, nullptr, nullptr, 0, stream);
}

// Slot 7.
template <typename Arithmetic>
cudaError_t Slots<Arithmetic>::launch_dump_headless_coords(uint16_t* rows, uint16_t* cols,
                                                           int32_t* meta, cudaStream_t stream) {
  if (!cols || !meta || !rows) return cudaErrorInvalidValue;
  launch_kernel(dump_headless_coords_kernel<Arithmetic>, dim3(1, 1, 1), dim3(kThreads, 1, 1), 0,
                stream, rows, cols, meta);
  return cudaGetLastError();
}

// Slot 8: the whole m x n product, one thread per element.
template <typename Arithmetic>
cudaError_t Slots<Arithmetic>::launch_debug_gemm_tile(const int8_t* a, const int8_t* b,
                                                      int32_t* product, int32_t* counts, int m,
                                                      int n, int k, cudaStream_t stream) {
  if (!a || !b || !product || !counts) return cudaErrorInvalidValue;
  if (m < 1 || n < 1 || k < 1) return cudaErrorInvalidValue;
  // The kernel indexes the product with 32-bit ints.
  const int64_t elements = static_cast<int64_t>(m) * n;
  if (elements + 255 > INT32_MAX) return cudaErrorInvalidValue;
  const int blocks = static_cast<int>((elements + 255) / 256);
  launch_kernel(debug_gemm_tile_kernel<Arithmetic>, dim3(static_cast<unsigned>(blocks), 1, 1),
                dim3(256, 1, 1), 0, stream, a, b, product, counts, m, n, k);
  return cudaGetLastError();
}

template <typename Arithmetic>
uint64_t Slots<Arithmetic>::signal_header_bytes() {
  return headless_slots::signal_header_bytes();
}

template <typename Arithmetic>
uint64_t Slots<Arithmetic>::signal_sync_bytes() {
  return headless_slots::signal_sync_bytes();
}

}  // namespace explicit_mining
