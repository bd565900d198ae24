// Every instruction of the layer and every CuTe atom name of korvath_cute,
// compiled by nvcc for each architecture the CuTe kernels target (the forms
// an architecture lacks compile to a trap).
#include <cstdint>

#include "core/device_instructions.h"
#include "core/gpu_platform.h"
#include "core/instructions/cute_twins.h"
#include "core/kernel_launch.h"
#include "cute_gemm_kernel.h"

namespace {

__global__ void every_instruction_kernel(const int8_t* global, uint32_t* out) {
  using namespace device_instructions;
  __shared__ __align__(16) unsigned char shared[1024];
  const unsigned lane = threadIdx.x % 32;
  cp_async_ca<4>(shared + 16 * lane, global);
  cp_async_ca<8>(shared + 16 * lane, global);
  cp_async_ca<16>(shared + 16 * lane, global);
  cp_async_cg(shared + 16 * lane, global);
  cp_async_commit_group();
  cp_async_ca_zfill<16>(shared + 512 + 16 * lane, global, lane % 17);
  cp_async_cg_zfill(shared + 512 + 16 * lane, global, lane % 17);
  cp_async_commit_group();
  cp_async_wait_group<1>();
  cp_async_wait_all();
  __syncthreads();
  uint32_t r[4];
  ldmatrix_x1(r[0], shared + 16 * lane);
  ldmatrix_x2(r[0], r[1], shared + 16 * lane);
  ldmatrix_x4(r[0], r[1], r[2], r[3], shared + 16 * lane);
  ldmatrix_x1_trans(r[0], shared + 16 * lane);
  ldmatrix_x2_trans(r[0], r[1], shared + 16 * lane);
  ldmatrix_x4_trans(r[0], r[1], r[2], r[3], shared + 16 * lane);
  uint32_t d[4];
  mma_m8n8k16_s8(d[0], d[1], r[0], r[1], r[2], r[3]);
  mma_m16n8k32_s8(d[0], d[1], d[2], d[3], r[0], r[1], r[2], r[3], d[0], d[1], r[0], r[1], r[2], r[3]);
  out[threadIdx.x] = d[0] ^ d[1] ^ d[2] ^ d[3];
}

__global__ void cluster_instruction_kernel(const CUtensorMap* map, uint32_t* out) {
  using namespace device_instructions;
  __shared__ __align__(1024) unsigned char stage[1024];
  __shared__ uint64_t barrier;
  if (threadIdx.x == 0) {
    mbarrier_init(&barrier, 2);
    mbarrier_init_fence();
  }
  cluster_sync();
  const uint32_t peer = cluster_block_rank() ^ 1u;
  if (threadIdx.x == 0) {
    mbarrier_arrive_expect_tx(&barrier, sizeof(stage));
    tma_load_2d_multicast(stage, map, 0, 0, &barrier, 0x3);
    mbarrier_arrive_cluster(&barrier, peer);
  }
  mbarrier_wait_parity(&barrier, 0);
  mbarrier_arrive(&barrier);
  const uint32_t* remote = map_shared_rank(reinterpret_cast<const uint32_t*>(stage), peer);
  out[threadIdx.x] = *remote + cluster_block_count();
}

// The atoms no GEMM configuration below uses, through CuTe's copy path.
__global__ void remaining_atoms_kernel(const int8_t* global, uint32_t* out) {
  using namespace cute;
  __shared__ __align__(128) int8_t shared[512];
  Tensor g = make_tensor(make_gmem_ptr(global + 16 * threadIdx.x), Shape<_16>{});
  Tensor s = make_tensor(make_smem_ptr(shared + 16 * threadIdx.x), Shape<_16>{});
  copy(Copy_Atom<korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL_ZFILL<uint128_t>, int8_t>{}.with(threadIdx.x < 8), g, s);
  copy(Copy_Atom<korvath_cute::SM80_CP_ASYNC_CACHEALWAYS_ZFILL<uint128_t>, int8_t>{}.with(true), g, s);
  copy(Copy_Atom<korvath_cute::SM80_CP_ASYNC_CACHEALWAYS<uint64_t>, int8_t>{},
       make_tensor(make_gmem_ptr(global + 8 * threadIdx.x), Shape<_8>{}),
       make_tensor(make_smem_ptr(shared + 8 * threadIdx.x), Shape<_8>{}));
  korvath_cute::cp_async_fence();
  korvath_cute::cp_async_wait<0>();
  __syncthreads();
  uint32_t r[4];
  korvath_cute::SM75_U32x1_LDSM_N::copy(*reinterpret_cast<const uint128_t*>(shared + 16 * (threadIdx.x % 32)), r[0]);
  korvath_cute::SM75_U16x2_LDSM_T::copy(*reinterpret_cast<const uint128_t*>(shared + 16 * (threadIdx.x % 32)), r[1]);
  korvath_cute::SM75_U16x4_LDSM_T::copy(*reinterpret_cast<const uint128_t*>(shared + 16 * (threadIdx.x % 32)), r[2],
                                        r[3]);
  korvath_cute::SM75_U16x8_LDSM_T::copy(*reinterpret_cast<const uint128_t*>(shared + 16 * (threadIdx.x % 32)), r[0],
                                        r[1], r[2], r[3]);
  out[threadIdx.x] = r[0] + r[1] + r[2] + r[3];
}

}  // namespace

cudaError_t launch_every_instruction(const int8_t* global, uint32_t* out, int32_t* product, cudaStream_t stream) {
  using namespace cute_gemm;
  const size_t gemm_shared = 2 * kStages * kTileM * kTileK;
  cudaError_t result = launch_kernel(every_instruction_kernel, dim3(1), dim3(32), 0, stream, global, out);
  if (result == cudaSuccess) result = launch_kernel(remaining_atoms_kernel, dim3(1), dim3(32), 0, stream, global, out);
  if (result == cudaSuccess) {
    result = launch_kernel(gemm_tile_kernel<AmpereLike>, dim3(1), dim3(kThreads), gemm_shared, stream, global, global,
                           product);
  }
  if (result == cudaSuccess) {
    result = launch_kernel(gemm_tile_kernel<AdaLike>, dim3(1), dim3(kThreads), gemm_shared, stream, global, global,
                           product);
  }
  if (result == cudaSuccess) {
    result = launch_kernel(gemm_tile_kernel<CmpLike>, dim3(1), dim3(kThreads), gemm_shared, stream, global, global,
                           product);
  }
  if (result == cudaSuccess) {
    result = launch_kernel(gemm_tile_kernel<TuringLike>, dim3(1), dim3(kThreads), gemm_shared, stream, global, global,
                           product);
  }
  return result;
}
