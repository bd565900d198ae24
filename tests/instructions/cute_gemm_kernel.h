#pragma once
// A small int8 GEMM built from CuTe parts as the mining kernels build theirs:
// one block of four warps computes a 64 x 64 tile over k = 128 in two k
// steps, with swizzled shared tiles filled by cp.async (or plain vector
// copies), matrix loads into registers and tensor-core MMA atoms. The same
// template runs on the host device and compiles with nvcc.
#include <cstdint>

#include "core/gpu_platform.h"
#include "core/instructions/cute_twins.h"

namespace cute_gemm {

using namespace cute;

constexpr int kTileM = 64;
constexpr int kTileN = 64;
constexpr int kTileK = 64;
constexpr int kK = 128;
constexpr int kStages = kK / kTileK;
constexpr int kThreads = 128;

template <class MmaAtom, class CopyA, class CopyB, class GlobalToShared, bool Asynchronous>
struct GemmConfig {
  using TiledMma = decltype(make_tiled_mma(MmaAtom{}, Layout<Shape<_2, _2, _1>>{}, Tile<_32, _32, _32>{}));
  // 64-byte K-major rows, the 16-byte chunks of each row permuted by the row.
  using SharedLayout = decltype(tile_to_shape(
      composition(Swizzle<2, 4, 3>{}, Layout<Shape<_8, Int<kTileK>>, Stride<Int<kTileK>, _1>>{}),
      Shape<Int<kTileM>, Int<kTileK>>{}));
  using GlobalCopy = decltype(make_tiled_copy(Copy_Atom<GlobalToShared, int8_t>{},
                                              Layout<Shape<_32, _4>, Stride<_4, _1>>{}, Layout<Shape<_1, _16>>{}));
  using SharedCopyA = decltype(make_tiled_copy_A(Copy_Atom<CopyA, int8_t>{}, TiledMma{}));
  using SharedCopyB = decltype(make_tiled_copy_B(Copy_Atom<CopyB, int8_t>{}, TiledMma{}));
  static constexpr bool asynchronous = Asynchronous;
};

template <class Config>
__global__ void gemm_tile_kernel(const int8_t* a, const int8_t* b, int32_t* c) {
  using SharedLayout = typename Config::SharedLayout;
  const int thread = threadIdx.x;
  int8_t* shared = korvath_dynamic_shared<int8_t>();
  constexpr int stage_bytes = kTileM * kTileK;

  Tensor gA = make_tensor(make_gmem_ptr(a), make_shape(Int<kTileM>{}, Int<kK>{}), make_stride(Int<kK>{}, _1{}));
  Tensor gB = make_tensor(make_gmem_ptr(b), make_shape(Int<kTileN>{}, Int<kK>{}), make_stride(Int<kK>{}, _1{}));
  Tensor gC = make_tensor(make_gmem_ptr(c), make_shape(Int<kTileM>{}, Int<kTileN>{}),
                          make_stride(Int<kTileN>{}, _1{}));

  typename Config::GlobalCopy global_copy;
  auto global_thread = global_copy.get_slice(thread);
  for (int stage = 0; stage < kStages; ++stage) {
    Tensor sA = make_tensor(make_smem_ptr(shared + 2 * stage * stage_bytes), SharedLayout{});
    Tensor sB = make_tensor(make_smem_ptr(shared + (2 * stage + 1) * stage_bytes), SharedLayout{});
    Tensor kA = local_tile(gA, make_shape(Int<kTileM>{}, Int<kTileK>{}), make_coord(0, stage));
    Tensor kB = local_tile(gB, make_shape(Int<kTileN>{}, Int<kTileK>{}), make_coord(0, stage));
    copy(global_copy, global_thread.partition_S(kA), global_thread.partition_D(sA));
    copy(global_copy, global_thread.partition_S(kB), global_thread.partition_D(sB));
    if constexpr (Config::asynchronous) korvath_cute::cp_async_fence();
  }

  typename Config::TiledMma mma;
  auto mma_thread = mma.get_slice(thread);
  Tensor tCgC = mma_thread.partition_C(gC);
  Tensor accumulators = mma_thread.make_fragment_C(tCgC);
  clear(accumulators);

  typename Config::SharedCopyA copy_a;
  typename Config::SharedCopyB copy_b;
  auto copy_a_thread = copy_a.get_slice(thread);
  auto copy_b_thread = copy_b.get_slice(thread);
  for (int stage = 0; stage < kStages; ++stage) {
    // Stage s is complete once at most (stages - 1 - s) newer groups are pending.
    if constexpr (Config::asynchronous) {
      if (stage == 0) {
        korvath_cute::cp_async_wait<kStages - 1>();
      } else {
        korvath_cute::cp_async_wait<0>();
      }
    }
    __syncthreads();
    Tensor sA = make_tensor(make_smem_ptr(shared + 2 * stage * stage_bytes), SharedLayout{});
    Tensor sB = make_tensor(make_smem_ptr(shared + (2 * stage + 1) * stage_bytes), SharedLayout{});
    Tensor fragment_a = mma_thread.partition_fragment_A(sA);
    Tensor fragment_b = mma_thread.partition_fragment_B(sB);
    Tensor shared_a = copy_a_thread.partition_S(sA);
    Tensor shared_b = copy_b_thread.partition_S(sB);
    Tensor registers_a = copy_a_thread.retile_D(fragment_a);
    Tensor registers_b = copy_b_thread.retile_D(fragment_b);
    // A matrix load may span several MMA k blocks, so the stage is loaded whole first.
    copy(copy_a, shared_a, registers_a);
    copy(copy_b, shared_b, registers_b);
    gemm(mma, fragment_a, fragment_b, accumulators);
  }
  copy(accumulators, tCgC);
}

using AmpereLike = GemmConfig<korvath_cute::SM80_16x8x32_S32S8S8S32_TN, korvath_cute::SM75_U32x4_LDSM_N,
                              korvath_cute::SM75_U32x4_LDSM_N,
                              korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL<cute::uint128_t>, true>;
using AdaLike = GemmConfig<korvath_cute::SM80_16x8x32_S32S8S8S32_TN, korvath_cute::SM75_U32x4_LDSM_N,
                           korvath_cute::SM75_U32x2_LDSM_N,
                           korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL<cute::uint128_t>, true>;
using CmpLike = GemmConfig<korvath_cute::SM80_16x8x32_S32S8S8S32_TN, korvath_cute::SM75_U32x4_LDSM_N,
                           korvath_cute::AutoVectorizingCopyWithAssumedAlignment<128>,
                           korvath_cute::SM80_CP_ASYNC_CACHEALWAYS<cute::uint128_t>, true>;
using TuringLike = GemmConfig<korvath_cute::SM75_8x8x16_S32S8S8S32_TN, korvath_cute::SM75_U32x4_LDSM_N,
                              korvath_cute::SM75_U32x4_LDSM_N,
                              korvath_cute::AutoVectorizingCopyWithAssumedAlignment<128>, false>;

}  // namespace cute_gemm
