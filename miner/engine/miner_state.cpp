#include "engine/miner_state.h"

MinerState::~MinerState() {
  // The workers finish (or drop) their queued proofs before the GPU is drained.
  if (submitter) submitter->stop();
  if (device_selected) cudaDeviceSynchronize();
}

MiningLoop choose_mining_loop(const MinerState& state) {
  const Config& config = state.config;
  if (config.benchmark_headless_only) return MiningLoop::HeadlessBenchmark;
  if (state.pool_in_use && state.split && !config.debug_dump && !config.debug_transcript &&
      !config.profile) {
    return MiningLoop::PoolPipeline;
  }
  if (state.offline && state.split && !config.debug_dump) return MiningLoop::OfflinePipeline;
  return MiningLoop::Serial;
}

bool workspace_wants_snapshots(const MinerState& state) {
  return !state.config.dry_run && choose_mining_loop(state) == MiningLoop::Serial;
}
