#pragma once
// The Hopper backend's slot operations (row "hopper_sm90"); its fill, noise,
// sparse-noise and debug-tile slots come from the blackwell unit.
#include <cstdint>

#include "backends/kernel_signal.h"
#include "core/gpu_api.h"

namespace vexal_hopper {

cudaError_t launch_hopper_mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                               HostSignalHeader* header, HostSignalSync* sync,
                               const uint32_t* target, const uint32_t* seed, int rank,
                               cudaStream_t stream);
cudaError_t launch_noise_and_mine(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                  const int8_t* b_left, const int8_t* a_right,
                                  const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                  int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                  int16_t* b_index1, int m, int n, int k, int rank,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed, uint32_t* extra,
                                  cudaStream_t stream);
cudaError_t launch_noise_and_mine_dump(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                       const int8_t* b_left, const int8_t* a_right,
                                       const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                       int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                       int16_t* b_index1, int m, int n, int k, int rank,
                                       HostSignalHeader* header, HostSignalSync* sync,
                                       const uint32_t* target, const uint32_t* seed,
                                       VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                                       uint32_t* value_counts, int capacity, cudaStream_t stream);
cudaError_t launch_dump_headless_coords(uint16_t* rows, uint16_t* cols, int32_t* meta,
                                        cudaStream_t stream);
uint64_t signal_header_bytes();
uint64_t signal_sync_bytes();

// The first-launch delay of a device: ordinal x VEXAL_HOPPER_LAUNCH_STAGGER_MS
// (1500 when unset; none for a value of 0 or less or for device 0 or below).
int64_t first_launch_stagger_ms(int device);

}  // namespace vexal_hopper
