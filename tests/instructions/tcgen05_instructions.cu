// The tcgen05 instructions of the layer, assembled by ptxas for the
// arch-specific images that have them.
#include <cstdint>

#include "core/device_instructions.h"
#include "core/gpu_platform.h"

namespace {

__global__ void tcgen05_instructions_kernel(uint32_t* out) {
  using namespace device_instructions;
  __shared__ __align__(1024) unsigned char operands[4096];
  __shared__ uint64_t barrier;
  __shared__ uint32_t slot;
  if (threadIdx.x == 0) mbarrier_init(&barrier, 1);
  if (threadIdx.x < 32) tmem_alloc_pair(&slot, 256);
  tcgen05_fence_before_thread_sync();
  __syncthreads();
  tcgen05_fence_after_thread_sync();
  const uint32_t d = slot;
  if (threadIdx.x < 32 && elect_one_sync()) {
    const uint64_t a = umma_descriptor_k_major_sw128(shared_window_address(operands), 1024);
    const uint64_t b = umma_descriptor_k_major_sw128(shared_window_address(operands + 2048), 1024);
    umma_pair_s8(d, a, b, umma_instruction_s8(256, 256), threadIdx.x != 0);
    umma_pair_bf16(d, a, b, umma_instruction_bf16(256, 128), true);
    umma_commit_pair_multicast(&barrier, 0x3);
  }
  mbarrier_wait_parity(&barrier, 0);
  tcgen05_fence_after_thread_sync();
  uint32_t r[32];
  tmem_load_32x32b_x32(d + tensor_memory_address(32 * (threadIdx.x / 32), 0), r);
  tmem_wait_ld();
  tmem_store_32x32b_x32(d + tensor_memory_address(32 * (threadIdx.x / 32), 32), r);
  tmem_wait_st();
  uint32_t x = 0;
  for (int i = 0; i < 32; ++i) x ^= r[i];
  out[threadIdx.x] = x;
  tcgen05_fence_before_thread_sync();
  __syncthreads();
  if (threadIdx.x < 32) {
    tmem_relinquish_alloc_permit_pair();
    tmem_dealloc_pair(d, 256);
  }
}

}  // namespace

void* tcgen05_instructions_kernel_address() { return reinterpret_cast<void*>(tcgen05_instructions_kernel); }
