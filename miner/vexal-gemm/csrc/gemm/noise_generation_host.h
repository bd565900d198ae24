#pragma once
// The noise generator's host side: the argument block the backends fill and
// the launcher of one kernel instantiation (rank R, T threads per block).
// One launch writes all four factors; see noise_factor_rule.h for the values.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/gpu_platform.h"

struct NoiseGenerationArgs {
  int8_t* left_a = nullptr;       // m x rank
  int8_t* left_a_aux = nullptr;   // unused by the miner
  int8_t* right_a = nullptr;      // rank x k
  int8_t* right_a_aux = nullptr;  // unused by the miner
  int8_t* right_b = nullptr;      // rank x k
  int8_t* right_b_aux = nullptr;  // unused by the miner
  int8_t* left_b = nullptr;       // n x rank
  int8_t* left_b_aux = nullptr;   // unused by the miner
  int32_t m = 0;
  int32_t n = 0;
  int32_t k = 0;
  int32_t rank = 0;  // informational: the instantiation fixes the rank
  const uint8_t* seed_a = nullptr;  // 32 bytes
  const uint8_t* seed_b = nullptr;  // 32 bytes
  int8_t* extra = nullptr;          // unused by the miner
  uint32_t extra_len = 0;
};

namespace vexal {

// Enqueues the generator of NoiseGenerationKernel<R, T> on the stream. The
// library treats a failed launch as fatal: the process aborts.
template <int R, int T>
void run_noise_generation(NoiseGenerationArgs& args, cudaStream_t stream);

// The six instantiations live in the noise_generation unit, the only unit
// whose device image holds the generator; the miner launches T = 128 only:
//   rank 128: NoiseGenerationKernel<128, 128>
//   rank 64:  NoiseGenerationKernel<64, 128>
// The others are built and registered for the library's other callers.
extern template void run_noise_generation<128, 128>(NoiseGenerationArgs&, cudaStream_t);
extern template void run_noise_generation<64, 128>(NoiseGenerationArgs&, cudaStream_t);
extern template void run_noise_generation<128, 64>(NoiseGenerationArgs&, cudaStream_t);
extern template void run_noise_generation<128, 32>(NoiseGenerationArgs&, cudaStream_t);
extern template void run_noise_generation<64, 64>(NoiseGenerationArgs&, cudaStream_t);
extern template void run_noise_generation<64, 32>(NoiseGenerationArgs&, cudaStream_t);

// Ends the process on a failed generator launch, as every library launch does.
inline void check_noise_generation_launch(cudaError_t error) {
  if (error == cudaSuccess) return;
  // Reported with this header's position so that the message is the same
  // whichever unit launched.
  fprintf(stderr, "CUDA error: %s at %s:%d\n", cudaGetErrorString(error), __FILE__, __LINE__);
  abort();
}

}  // namespace vexal
