// The Volta backend: the explicit mining kernels with four-way integer dot
// products, and the unit's instance of the shared slots. One mining kernel
// serves both normal mining and the jackpot dump.
#include "backends/volta_mining_kernel.h"

#include "backends/explicit_mining_kernels.h"
#include "backends/headless_common.h"
#include "tensor_hash/blake3_constants.h"

namespace vexal_volta {

namespace {

// Four int8 products in one instruction, which every architecture from
// compute capability 6.1 on executes (Volta has no int8 tensor cores).
struct Dp4aArithmetic {
  using Operand = int;

  __device__ static Operand prepare(uint32_t word) { return static_cast<int>(word); }

  __device__ static int32_t dot4(Operand a, uint32_t b_word, int32_t acc) {
    return __dp4a(a, static_cast<int>(b_word), acc);
  }
};

}  // namespace

__global__ void __launch_bounds__(128)
    headless_mine_kernel(const int8_t* a, const int8_t* b, int32_t m, int32_t n, int32_t k,
                         int32_t rank, HostSignalHeader* header, HostSignalSync* sync,
                         const uint32_t* target, const uint32_t* seed,
                         VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                         uint32_t* value_counts, int32_t capacity) {
  (void)n;
  const MiningOutputs outputs{header, sync, target, seed, entries, values, value_counts, capacity};
  explicit_mining::mine_tile<Dp4aArithmetic>(a, b, m, k, rank, outputs);
}

__global__ void debug_gemm_tile_kernel(const int8_t* a, const int8_t* b, int32_t* product,
                                       int32_t* counts, int32_t m, int32_t n, int32_t k) {
  explicit_mining::debug_gemm_tile<Dp4aArithmetic>(a, b, product, counts, m, n, k);
}

__global__ void dump_headless_coords_kernel(uint16_t* rows, uint16_t* cols, int32_t* meta) {
  explicit_mining::dump_headless_coords(rows, cols, meta);
}

cudaError_t launch_fill_int8(int8_t* dst, int64_t count, uint64_t seed, cudaStream_t stream) {
  return headless_slots::common_fill_int8(dst, count, seed, stream);
}

cudaError_t launch_generate_noise(int rank, int m, int n, int k, int8_t* a_left, int8_t* a_right,
                                  int8_t* b_right, int8_t* b_left, const uint8_t* seed_a,
                                  const uint8_t* seed_b, cudaStream_t stream) {
  return headless_slots::launch_generate_noise(rank, m, n, k, a_left, a_right, b_right, b_left,
                                               seed_a, seed_b, stream);
}

cudaError_t launch_noise_and_mine(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                  const int8_t* b_left, const int8_t* a_right,
                                  const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                  int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                  int16_t* b_index1, int m, int n, int k, int rank,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed, uint32_t* extra,
                                  cudaStream_t stream) {
  (void)extra;
  return explicit_mining::noise_and_mine(headless_mine_kernel, a, b, a_left, b_left, a_right,
                                         b_right, noised_a, noised_b, a_index0, a_index1,
                                         b_index0, b_index1, m, n, k, rank, header, sync, target,
                                         seed, nullptr, nullptr, nullptr, 0, stream);
}

cudaError_t launch_noise_and_mine_dump(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                       const int8_t* b_left, const int8_t* a_right,
                                       const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                       int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                       int16_t* b_index1, int m, int n, int k, int rank,
                                       HostSignalHeader* header, HostSignalSync* sync,
                                       const uint32_t* target, const uint32_t* seed,
                                       VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                                       uint32_t* value_counts, int capacity, cudaStream_t stream) {
  return explicit_mining::noise_and_mine(headless_mine_kernel, a, b, a_left, b_left, a_right,
                                         b_right, noised_a, noised_b, a_index0, a_index1,
                                         b_index0, b_index1, m, n, k, rank, header, sync, target,
                                         seed, entries, values, value_counts, capacity, stream);
}

cudaError_t launch_dump_headless_coords(uint16_t* rows, uint16_t* cols, int32_t* meta,
                                        cudaStream_t stream) {
  return explicit_mining::dump_coords(dump_headless_coords_kernel, rows, cols, meta, stream);
}

cudaError_t launch_debug_gemm_tile(const int8_t* a, const int8_t* b, int32_t* product,
                                   int32_t* counts, int m, int n, int k, cudaStream_t stream) {
  return explicit_mining::debug_tile(debug_gemm_tile_kernel, a, b, product, counts, m, n, k,
                                     stream);
}

uint64_t signal_header_bytes() { return headless_slots::signal_header_bytes(); }
uint64_t signal_sync_bytes() { return headless_slots::signal_sync_bytes(); }

}  // namespace vexal_volta
