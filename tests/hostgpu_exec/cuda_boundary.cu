// The flavour boundary and the launch helper as nvcc compiles them: a device
// constant, dynamic shared memory, a warp vote and dp4a in one trivial kernel.
#include <cstdint>

#include "core/device_instructions.h"
#include "core/gpu_platform.h"
#include "core/kernel_launch.h"

KORVATH_DEVICE_CONSTANT(uint32_t[2], boundary_words, 3, 4);

__global__ void __launch_bounds__(64) boundary_kernel(int* out, int bias) {
  int* staged = korvath_dynamic_shared<int>();
  staged[threadIdx.x] = __dp4a(static_cast<int>(threadIdx.x), 0x01010101, bias);
  __syncthreads();
  const unsigned votes = __ballot_sync(0xffffffffu, staged[threadIdx.x] & 1);
  out[threadIdx.x] = static_cast<int>(votes + boundary_words[threadIdx.x & 1]);
}

cudaError_t launch_boundary_kernel(int* out, cudaStream_t stream) {
  return launch_kernel(boundary_kernel, dim3(1), dim3(64), 64 * sizeof(int), stream, out, 7);
}
