#pragma once
// The slot operations of an explicit backend unit. The members are defined
// with the kernels in explicit_mining_kernels.h and instantiated once, by the
// unit that defines the Arithmetic; its header names them.
#include <cstdint>

#include "backends/kernel_signal.h"
#include "core/gpu_api.h"

namespace explicit_mining {

template <typename Arithmetic>
struct Slots {
  static cudaError_t launch_fill_int8(int8_t* dst, int64_t count, uint64_t seed,
                                      cudaStream_t stream);
  static cudaError_t launch_generate_noise(int rank, int m, int n, int k, int8_t* a_left,
                                           int8_t* a_right, int8_t* b_right, int8_t* b_left,
                                           const uint8_t* seed_a, const uint8_t* seed_b,
                                           cudaStream_t stream);
  static cudaError_t launch_noise_and_mine(
      const int8_t* a, const int8_t* b, const int8_t* a_left, const int8_t* b_left,
      const int8_t* a_right, const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
      int16_t* a_index0, int16_t* a_index1, int16_t* b_index0, int16_t* b_index1, int m, int n,
      int k, int rank, HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
      const uint32_t* seed, uint32_t* extra, cudaStream_t stream);
  static cudaError_t launch_noise_and_mine_dump(
      const int8_t* a, const int8_t* b, const int8_t* a_left, const int8_t* b_left,
      const int8_t* a_right, const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
      int16_t* a_index0, int16_t* a_index1, int16_t* b_index0, int16_t* b_index1, int m, int n,
      int k, int rank, HostSignalHeader* header, HostSignalSync* sync, const uint32_t* target,
      const uint32_t* seed, VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
      uint32_t* value_counts, int capacity, cudaStream_t stream);
  static cudaError_t launch_dump_headless_coords(uint16_t* rows, uint16_t* cols, int32_t* meta,
                                                 cudaStream_t stream);
  static cudaError_t launch_debug_gemm_tile(const int8_t* a, const int8_t* b, int32_t* product,
                                            int32_t* counts, int m, int n, int k,
                                            cudaStream_t stream);
  static uint64_t signal_header_bytes();
  static uint64_t signal_sync_bytes();
};

}  // namespace explicit_mining
