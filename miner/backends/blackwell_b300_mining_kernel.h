#pragma once
// The B300 row's mining slots 4 and 5 ("blackwell_b300_sm103"): the noised
// operands are converted into bfloat16 copies that the calling thread keeps,
// then mined in 256 x 128 tiles by CTA pairs in (2, 2, 1) clusters.
#include <cstdint>

#include "backends/kernel_signal.h"
#include "core/gpu_api.h"

namespace vexal_blackwell_b300 {

constexpr int kMiningSharedBytes = 58496;

// Tensor memory belongs to the SM (512 columns) and every CTA of this kernel
// holds 256 of them, so an SM must not admit three. The 58,496 dynamic bytes
// and the registers alone admit three (with the system's kilobyte, 59,520
// bytes each of 233,472; 20,480 registers each of 65,536); a static reserve
// of 18,432 bytes makes it 77,952 bytes a CTA, two per SM: shared memory
// binds, and two CTAs hold all 512 columns.
constexpr int kOccupancyReserveBytes = 18432;

cudaError_t launch_headless_mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                                 HostSignalHeader* header, HostSignalSync* sync,
                                 const uint32_t* target, const uint32_t* seed, int rank,
                                 uint32_t* extra, cudaStream_t stream);
cudaError_t launch_noise_and_mine(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                  const int8_t* b_left, const int8_t* a_right,
                                  const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                  int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                  int16_t* b_index1, int m, int n, int k, int rank,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed, uint32_t* extra,
                                  cudaStream_t stream);

// For tests: the two kernels, and the calling thread's bfloat16 copies
// (device pointer and capacity in elements).
const void* mining_kernel();
const void* conversion_kernel();
struct ConversionCopy {
  void* data = nullptr;
  uint64_t capacity = 0;
};
ConversionCopy thread_copy_a();
ConversionCopy thread_copy_b();

}  // namespace vexal_blackwell_b300
