#pragma once
// The warp-specialised int8 mining product. Warp group 0 is the producer: it
// hands its registers to the consumers, and one thread of it feeds four
// shared stages through bulk tensor copies, each stage guarded by a "full"
// barrier (the copies' bytes) and an "empty" barrier (one arrival per
// consumer warp of every block of the cluster once its multiply has read the
// stage). The blocks of a 1 x 8 cluster share their A tile: each loads an
// eighth of it and multicasts it to all. Warp groups 1 and 2 multiply all
// 128 rows of the tile by 128 columns each (hopper_tile_math.h) and fold
// their accumulators after every rank step (hopper_fold.h).
//
// The two consumer groups take turns on the tensor pipe: a group issues a
// stage's MMAs only after the other group has issued its MMAs of the stage
// before, and hands the turn on as soon as its own are issued. So the
// groups' MMAs alternate on the pipe instead of interleaving, and while one
// group waits for its MMAs and folds, the other's run. No block-wide barrier
// runs after the set-up.
//
// Candidate c of the 256 consumer threads opens rows 64·g + o and
// 64·g + o + 32 and columns 64·q to 64·q + 63 with o = c mod 32,
// g = (c / 32) mod 2, q = c / 64.
//
// Blocks take tile (blockIdx.x, blockIdx.y); a block whose tile lies beyond
// n (the grid is padded to whole clusters) or is partial does nothing. The
// general epilogue (a product written into `out`) is not built: a launch
// with `out` set traps.
#include <type_traits>

#include <cute/tensor.hpp>

#include "backends/mining_epilogue.h"
#include "core/device_instructions.h"
#include "gemm/hopper_fold.h"
#include "gemm/hopper_gemm_params.h"
#include "gemm/hopper_tile_math.h"

namespace vexal {

namespace hopper_detail {

constexpr int kTileM = 128;
constexpr int kTileN = 256;
constexpr int kTileK = 128;
constexpr int kConsumers = 256;
constexpr int kValuesPerThread = kTileM * kTileN / kConsumers;
constexpr int kCandidateColumns = kValuesPerThread / 2;
// Registers per thread after the hand-over: 40 + 2 x 232 = 3 x 168, the share
// each thread of a 384-thread block starts with.
constexpr unsigned kProducerRegisters = 40;
constexpr unsigned kConsumerRegisters = 232;

__host__ __device__ inline TilePosition candidate_position(int candidate, int v) {
  const int row = 64 * ((candidate / 32) % 2) + candidate % 32 + 32 * (v / kCandidateColumns);
  const int col = kCandidateColumns * (candidate / 64) + v % kCandidateColumns;
  return TilePosition{static_cast<uint16_t>(row), static_cast<uint16_t>(col)};
}

// The turns of the consumer groups on the tensor pipe: group g issues K tile
// kt once phase kt + g - 1 of its barrier has completed (group 0's first
// tile waits for nothing), each phase completing when lane 0 of every warp
// of the other group has arrived after issuing its MMAs. A group is never
// more than one phase ahead of the other, so a parity names the phase.
constexpr uint32_t kTurnArrivals = 4;

__device__ __forceinline__ void wait_turn(uint64_t* barrier, int group, int kt) {
  if (kt + group >= 1) {
    device_instructions::mbarrier_wait_parity(barrier, static_cast<uint32_t>((kt + group - 1) & 1));
  }
}

}  // namespace hopper_detail

template <class Traits, class Scheduler>
__global__ void __launch_bounds__(384, 1) hopper_gemm_ws(
    // The bulk copies read the tensor maps where the launch put them: a copy
    // of the block on the stack would hand them a local address.
    const __grid_constant__ typename CollectiveMainloop<Traits>::Params mainloop,
    typename CollectiveEpilogue<Traits>::Params epilogue, typename Scheduler::Params scheduler) {
  using namespace hopper_detail;
  static_assert(Traits::kTileM == kTileM && Traits::kTileN == kTileN && Traits::kTileK == kTileK,
                "the mining tile");
  static_assert(Traits::kThreads == 384 && Traits::kProducerThreads == 128,
                "one producer and two consumer warp groups");
  constexpr int kStages = Traits::kPipelineStages;
  constexpr uint32_t kStageBytes = Traits::kStageBytesA + Traits::kStageBytesB;
  if (epilogue.out != nullptr) __trap();

  const int m = mainloop.m;
  const int n = mainloop.n;
  const int k = mainloop.k;
  const int rank = mainloop.rank;
  const int tile_m = static_cast<int>(blockIdx.x);
  const int tile_n = static_cast<int>(blockIdx.y);
  // The blocks of a cluster share tile_m, so these leave together.
  if (tile_m >= scheduler.tiles_m || (tile_m + 1) * kTileM > m) return;  // partial tiles are not mined
  // A block past n (the grid is padded to whole clusters) or on a partial
  // tile still loads its share of A for the others, and mines nothing.
  const bool mines = (tile_n + 1) * kTileN <= n;
  const uint32_t cluster_rank = device_instructions::cluster_block_rank();
  const uint32_t cluster_blocks = device_instructions::cluster_block_count();

  const int thread = static_cast<int>(threadIdx.x);
  const int warp = thread / 32;
  const int lane = thread % 32;

  __shared__ uint64_t full_barriers[kStages];
  __shared__ uint64_t empty_barriers[kStages];
  __shared__ uint64_t turn_barriers[2];
  __shared__ FoldExchange fold_exchanges[2];
  unsigned char* raw = korvath_dynamic_shared<unsigned char>();
  int8_t* stages = reinterpret_cast<int8_t*>((reinterpret_cast<uintptr_t>(raw) + 1023) &
                                             ~static_cast<uintptr_t>(1023));
  auto stage_a = [stages](int s) { return stages + s * kStageBytes; };
  auto stage_b = [stage_a](int s) { return stage_a(s) + Traits::kStageBytesA; };

  const int k_tiles = k / kTileK;
  const int first_stages = k_tiles < kStages ? k_tiles : kStages;
  // The B tile of a stage: the block's own rows, counted on its own barrier
  // together with the whole A tile that the cluster multicasts.
  const auto load_b = [&](int kt) {
    const int s = kt % kStages;
    device_instructions::mbarrier_arrive_expect_tx(&full_barriers[s], kStageBytes);
    device_instructions::tma_load_2d(stage_b(s), &mainloop.tma_load_b.map, kt * kTileK,
                                     tile_n * kTileN, &full_barriers[s]);
  };

  if (thread == 0) {
    for (int s = 0; s < kStages; ++s) {
      device_instructions::mbarrier_init(&full_barriers[s], 1);
      // One arrival per consumer warp of every block: a stage is refilled in all
      // blocks at once.
      device_instructions::mbarrier_init(&empty_barriers[s], kConsumers / 32 * cluster_blocks);
    }
    for (uint64_t& barrier : turn_barriers) device_instructions::mbarrier_init(&barrier, kTurnArrivals);
    for (FoldExchange& exchange : fold_exchanges) init_fold_exchange(exchange);
    device_instructions::mbarrier_init_fence();
    // The first stages' B tiles touch only this block: they need not wait
    // for the cluster.
    for (int kt = 0; kt < first_stages; ++kt) load_b(kt);
  }
  // Every block's barriers exist before any block copies into it or arrives on them.
  device_instructions::cluster_sync();

  const bool warp_group_mma = device_instructions::warp_group_mma_available();

  if (thread < Traits::kProducerThreads) {
    if (warp_group_mma) device_instructions::setmaxnreg_dec<kProducerRegisters>();
    if (thread != 0) return;
    // Block r loads A boxes r, r + blocks, ... into every block of the cluster.
    const uint16_t everyone = static_cast<uint16_t>((1u << cluster_blocks) - 1u);
    for (int kt = 0; kt < k_tiles; ++kt) {
      const int s = kt % kStages;
      if (kt >= kStages) {
        device_instructions::mbarrier_wait_parity(&empty_barriers[s],
                                                  static_cast<uint32_t>((kt / kStages - 1) & 1));
        load_b(kt);
      }
      for (int box = static_cast<int>(cluster_rank); box < kTileM / Traits::kBoxRowsA;
           box += static_cast<int>(cluster_blocks)) {
        device_instructions::tma_load_2d_multicast(
            stage_a(s) + box * Traits::kBoxRowsA * kTileK, &mainloop.tma_load_a.map, kt * kTileK,
            tile_m * kTileM + box * Traits::kBoxRowsA, &full_barriers[s], everyone);
      }
    }
    // The block stays until every block's consumers have released its last
    // stages: their arrivals land on this block's barriers.
    for (int kt = k_tiles - kStages < 0 ? 0 : k_tiles - kStages; kt < k_tiles; ++kt) {
      device_instructions::mbarrier_wait_parity(&empty_barriers[kt % kStages],
                                                static_cast<uint32_t>((kt / kStages) & 1));
    }
    return;
  }

  if (warp_group_mma) device_instructions::setmaxnreg_inc<kConsumerRegisters>();
  const int consumer = thread - Traits::kProducerThreads;
  const int group_thread = consumer % 128;

  MiningThreadPlace place;
  place.tile_m_index = static_cast<uint32_t>(tile_m);
  place.tile_n_index = static_cast<uint32_t>(tile_n);
  place.tile_m_count = static_cast<uint32_t>(m / kTileM);
  place.thread = consumer;
  place.threads_per_block = kConsumers;
  place.tile_height = kTileM;
  place.tile_width = kTileN;
  place.k = k;
  place.rank = rank;
  const MiningOutputs outputs{mainloop.signal_header, mainloop.signal_sync, mainloop.target,
                              mainloop.seed, nullptr, nullptr, nullptr, 0};
  MiningEpilogue<kValuesPerThread> mining(outputs, place);
  const auto positions = [consumer](int v) { return candidate_position(consumer, v); };

  // The group is a compile-time constant inside, so that the descriptors are
  // plain functions of the stage, the same for every thread of the group.
  const auto consume = [&](auto group_constant) {
    constexpr int group = decltype(group_constant)::value;
    FoldExchange& exchange = fold_exchanges[group];
    uint64_t* my_turn = &turn_barriers[group];
    uint64_t* their_turn = &turn_barriers[1 - group];
    // Stage s's descriptors are stage 0's moved on by s stages.
    const uint64_t stage0_a = warp_group_mma ? stage_descriptor(stage_a(0)) : 0;
    const uint64_t stage0_b =
        warp_group_mma ? stage_descriptor(stage_b(0) + group * kGroupRows * kRowBytes) : 0;
    // The stage is read: the producers may refill it, lane r telling block r.
    const auto release = [&](int s) {
      if (lane < static_cast<int>(cluster_blocks)) {
        device_instructions::mbarrier_arrive_remote(&empty_barriers[s], static_cast<uint32_t>(lane));
      }
    };
    // A stage this group does not multiply is still waited for (its bytes
    // must land before its barrier's next phase) and released.
    const auto pass = [&](int kt) {
      const int s = kt % kStages;
      device_instructions::mbarrier_wait_parity(&full_barriers[s],
                                                static_cast<uint32_t>((kt / kStages) & 1));
      release(s);
    };
    if (!mines) {
      for (int kt = 0; kt < k_tiles; ++kt) pass(kt);
      return;
    }
    GroupAccumulators accumulators;
    clear(accumulators);
    const auto multiply = [&](int kt) {
      const int s = kt % kStages;
      device_instructions::mbarrier_wait_parity(&full_barriers[s],
                                                static_cast<uint32_t>((kt / kStages) & 1));
      wait_turn(my_turn, group, kt);
      if (warp_group_mma) {
        issue_stage_wgmma(accumulators, advanced(stage0_a, s * static_cast<int>(kStageBytes)),
                          advanced(stage0_b, s * static_cast<int>(kStageBytes)));
      } else {
        multiply_stage_mma_sync(accumulators, stage_a(s), stage_b(s), group, warp % 4, lane);
        __syncwarp();
      }
      // The MMAs are issued: the other group may queue its own behind them.
      if (lane == 0) device_instructions::mbarrier_arrive(their_turn);
      if (warp_group_mma) device_instructions::wgmma_wait_group<0>();
      release(s);
    };
    // One rank step per trip, folded at its end. K tiles past the last whole
    // step would never be folded: they are not multiplied.
    const int tiles_per_step = rank / kTileK;
    int kt = 0;
    for (int fold_index = 0; kt + tiles_per_step <= k_tiles; ++fold_index) {
      for (int i = 0; i < tiles_per_step; ++i, ++kt) multiply(kt);
      const uint32_t fold = fold_group(accumulators, exchange, group_thread, fold_index);
      mining.end_step(kt * kTileK, [fold](int v) { return v == 0 ? static_cast<int32_t>(fold) : 0; },
                      positions);
    }
    for (; kt < k_tiles; ++kt) pass(kt);
  };
  if (consumer < 128) {
    consume(std::integral_constant<int, 0>{});
  } else {
    consume(std::integral_constant<int, 1>{});
  }

  if (mines) mining.finish(positions);
}

}  // namespace vexal
