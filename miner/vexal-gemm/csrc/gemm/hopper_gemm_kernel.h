#pragma once
// The warp-specialised int8 mining product: warp group 0 feeds four shared
// stages through bulk tensor copies counted on mbarriers, warp groups 1 and 2
// multiply the 128 x 256 tile with int8 tensor-core MMAs (the same
// instructions on sm_90 and sm_120) and fold it into the transcripts.
//
// Candidate c of the 256 consumer threads opens rows 64·g + o and
// 64·g + o + 32 and columns 64·q to 64·q + 63 with o = c mod 32,
// g = (c / 32) mod 2, q = c / 64. The accumulator layout scatters a
// candidate's cells over sixteen threads, so after each rank step the threads
// XOR their values into per-candidate folds in shared memory.
//
// Blocks take tile (blockIdx.x, blockIdx.y); a block whose tile lies beyond
// n (the grid is padded to whole clusters) or is partial does nothing. The
// general epilogue (a product written into `out`) is not built: a launch
// with `out` set traps.
#include <cute/tensor.hpp>

#include "backends/mining_epilogue.h"
#include "core/device_instructions.h"
#include "core/instructions/proxy_fence.h"
#include "core/instructions/cute_twins.h"
#include "gemm/hopper_gemm_params.h"

namespace vexal {

namespace hopper_detail {

using namespace cute;

constexpr int kTileM = 128;
constexpr int kTileN = 256;
constexpr int kTileK = 128;
constexpr int kConsumers = 256;
constexpr int kValuesPerThread = kTileM * kTileN / kConsumers;
constexpr int kCandidateColumns = kValuesPerThread / 2;

// 128-byte rows swizzled as the tensor maps' 128-byte swizzle writes them.
using SwizzleAtom = decltype(composition(Swizzle<3, 4, 3>{},
                                         Layout<Shape<_8, Int<kTileK>>, Stride<Int<kTileK>, _1>>{}));
using SharedTileA = decltype(tile_to_shape(SwizzleAtom{}, Shape<Int<kTileM>, Int<kTileK>>{}));
using SharedTileB = decltype(tile_to_shape(SwizzleAtom{}, Shape<Int<kTileN>, Int<kTileK>>{}));
using SharedToRegisterA = Copy_Atom<korvath_cute::SM75_U32x4_LDSM_N, int8_t>;
using SharedToRegisterB = Copy_Atom<korvath_cute::SM75_U32x2_LDSM_N, int8_t>;
using TiledMma = decltype(make_tiled_mma(korvath_cute::SM80_16x8x32_S32S8S8S32_TN{},
                                         Layout<Shape<_2, _4, _1>>{}, Tile<_32, _32, _32>{}));

__host__ __device__ inline TilePosition candidate_position(int candidate, int v) {
  const int row = 64 * ((candidate / 32) % 2) + candidate % 32 + 32 * (v / kCandidateColumns);
  const int col = kCandidateColumns * (candidate / 64) + v % kCandidateColumns;
  return TilePosition{static_cast<uint16_t>(row), static_cast<uint16_t>(col)};
}

__device__ inline int candidate_of(int row, int col) {
  return (row / 64 + 2 * (col / kCandidateColumns)) * 32 + row % 32;
}

}  // namespace hopper_detail

template <class Traits, class Scheduler>
__global__ void __launch_bounds__(384) hopper_gemm_ws(
    typename CollectiveMainloop<Traits>::Params mainloop,
    typename CollectiveEpilogue<Traits>::Params epilogue, typename Scheduler::Params scheduler) {
  using namespace cute;
  using namespace hopper_detail;
  static_assert(Traits::kTileM == kTileM && Traits::kTileN == kTileN && Traits::kTileK == kTileK,
                "the mining tile");
  static_assert(Traits::kThreads == 384, "one producer and two consumer warp groups");
  constexpr int kStages = Traits::kPipelineStages;
  if (epilogue.out != nullptr) __trap();

  const int m = mainloop.m;
  const int n = mainloop.n;
  const int k = mainloop.k;
  const int rank = mainloop.rank;
  const int tile_m = static_cast<int>(blockIdx.x);
  const int tile_n = static_cast<int>(blockIdx.y);
  if (tile_m >= scheduler.tiles_m || tile_n * kTileN >= n) return;
  if ((tile_m + 1) * kTileM > m || (tile_n + 1) * kTileN > n) return;  // partial tiles are not mined

  const int thread = static_cast<int>(threadIdx.x);
  const bool producer = thread < Traits::kProducerThreads;
  const int consumer = thread - Traits::kProducerThreads;

  __shared__ uint64_t full_barriers[kStages];
  unsigned char* raw = korvath_dynamic_shared<unsigned char>();
  int8_t* stages = reinterpret_cast<int8_t*>((reinterpret_cast<uintptr_t>(raw) + 1023) &
                                             ~static_cast<uintptr_t>(1023));
  auto stage_a = [stages](int s) { return stages + s * (Traits::kStageBytesA + Traits::kStageBytesB); };
  auto stage_b = [stage_a](int s) { return stage_a(s) + Traits::kStageBytesA; };

  const int k_tiles = k / kTileK;
  // One thread of the producer group loads K tile kt into its stage.
  auto load_k_tile = [&](int kt) {
    const int s = kt % kStages;
    uint64_t* barrier = &full_barriers[s];
    device_instructions::mbarrier_arrive_expect_tx(barrier,
                                                   Traits::kStageBytesA + Traits::kStageBytesB);
    for (int box = 0; box < kTileM / Traits::kBoxRowsA; ++box) {
      device_instructions::tma_load_2d(stage_a(s) + box * Traits::kBoxRowsA * kTileK,
                                       &mainloop.tma_load_a.map, kt * kTileK,
                                       tile_m * kTileM + box * Traits::kBoxRowsA, barrier);
    }
    device_instructions::tma_load_2d(stage_b(s), &mainloop.tma_load_b.map, kt * kTileK,
                                     tile_n * kTileN, barrier);
  };

  if (thread == 0) {
    for (int s = 0; s < kStages; ++s) device_instructions::mbarrier_init(&full_barriers[s], 1);
    device_instructions::mbarrier_init_fence();
  }
  __syncthreads();
  if (thread == 0) {
    for (int kt = 0; kt < k_tiles && kt < kStages; ++kt) load_k_tile(kt);
  }
  __syncthreads();

  TiledMma mma;
  const int mma_thread_index = producer ? 0 : consumer;
  auto mma_thread = mma.get_slice(mma_thread_index);
  Tensor accumulators = partition_fragment_C(mma, Shape<Int<kTileM>, Int<kTileN>>{});
  Tensor coordinates =
      mma_thread.partition_C(make_identity_tensor(Shape<Int<kTileM>, Int<kTileN>>{}));
  clear(accumulators);

  MiningThreadPlace place;
  place.tile_m_index = static_cast<uint32_t>(tile_m);
  place.tile_n_index = static_cast<uint32_t>(tile_n);
  place.tile_m_count = static_cast<uint32_t>(m / kTileM);
  place.thread = mma_thread_index;
  place.threads_per_block = kConsumers;
  place.tile_height = kTileM;
  place.tile_width = kTileN;
  place.k = k;
  place.rank = rank;
  const MiningOutputs outputs{mainloop.signal_header, mainloop.signal_sync, mainloop.target,
                              mainloop.seed, nullptr, nullptr, nullptr, 0};
  MiningEpilogue<kValuesPerThread> mining(outputs, place);
  const auto positions = [mma_thread_index](int v) {
    return candidate_position(mma_thread_index, v);
  };

  for (int kt = 0; kt < k_tiles; ++kt) {
    const int s = kt % kStages;
    if (!producer) {
      device_instructions::mbarrier_wait_parity(&full_barriers[s],
                                                static_cast<uint32_t>((kt / kStages) & 1));
      Tensor sA = make_tensor(make_smem_ptr(stage_a(s)), SharedTileA{});
      Tensor sB = make_tensor(make_smem_ptr(stage_b(s)), SharedTileB{});
      Tensor fragment_a = mma_thread.partition_fragment_A(sA);
      Tensor fragment_b = mma_thread.partition_fragment_B(sB);
      auto copy_a = make_tiled_copy_A(SharedToRegisterA{}, mma);
      auto copy_b = make_tiled_copy_B(SharedToRegisterB{}, mma);
      auto copy_a_thread = copy_a.get_slice(consumer);
      auto copy_b_thread = copy_b.get_slice(consumer);
      Tensor shared_a = copy_a_thread.partition_S(sA);
      Tensor shared_b = copy_b_thread.partition_S(sB);
      Tensor registers_a = copy_a_thread.retile_D(fragment_a);
      Tensor registers_b = copy_b_thread.retile_D(fragment_b);
      CUTE_UNROLL
      for (int k_block = 0; k_block < size<2>(fragment_a); ++k_block) {
        copy(copy_a, shared_a(_, _, k_block), registers_a(_, _, k_block));
        copy(copy_b, shared_b(_, _, k_block), registers_b(_, _, k_block));
        gemm(mma, fragment_a(_, _, k_block), fragment_b(_, _, k_block), accumulators);
      }
    }
    // The stage is read; its A part serves as fold scratch before it is refilled.
    __syncthreads();
    const int k_pos = (kt + 1) * kTileK;
    if (k_pos % rank == 0) {
      uint32_t* folds = reinterpret_cast<uint32_t*>(stage_a(s));
      if (!producer) folds[consumer] = 0;
      __syncthreads();
      if (!producer) {
        // Values 2h, 2h + 1 are neighbouring columns, M repeats 2g, 2g + 1 rows
        // 32 apart, N repeats 2q, 2q + 1 columns 32 apart: one candidate each.
        CUTE_UNROLL
        for (int h = 0; h < 2; ++h) {
          CUTE_UNROLL
          for (int g = 0; g < 2; ++g) {
            CUTE_UNROLL
            for (int q = 0; q < 4; ++q) {
              uint32_t fold = 0;
              CUTE_UNROLL
              for (int e = 0; e < 2; ++e) {
                CUTE_UNROLL
                for (int i = 0; i < 2; ++i) {
                  CUTE_UNROLL
                  for (int j = 0; j < 2; ++j) {
                    fold ^= static_cast<uint32_t>(accumulators(2 * h + e, 2 * g + i, 2 * q + j));
                  }
                }
              }
              const auto at = coordinates(2 * h, 2 * g, 2 * q);
              atomicXor(&folds[candidate_of(get<0>(at), get<1>(at))], fold);
            }
          }
        }
      }
      __syncthreads();
      if (!producer) {
        const uint32_t fold = folds[consumer];
        mining.end_step(k_pos, [fold](int v) { return v == 0 ? static_cast<int32_t>(fold) : 0; },
                        positions);
      }
      // The fold stores come before the bulk copy that refills this stage.
      device_instructions::fence_proxy_async_shared();
      __syncthreads();
    }
    if (thread == 0 && kt + kStages < k_tiles) load_k_tile(kt + kStages);
  }

  if (!producer) mining.finish(positions);
}

}  // namespace vexal
