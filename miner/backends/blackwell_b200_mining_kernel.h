#pragma once
// The B200 row's mining slots 4 and 5 ("blackwell_b200_sm100"): rank-128
// mining of 256 x 256 tiles by CTA pairs in (2, 2, 1) clusters.
#include <cstdint>

#include "backends/kernel_signal.h"
#include "core/gpu_api.h"

namespace vexal_blackwell_b200 {

constexpr int kMiningSharedBytes = 84096;

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

// The mining kernel, for tests that inspect its attributes and launches.
const void* mining_kernel();

}  // namespace vexal_blackwell_b200
