#pragma once
// Pool mining on a split backend: two preparation slots, the next attempt
// prepared while the current one mines; job changes flush the prepared slot.
#include <array>
#include <cstdint>

#include "core/mining_job.h"

class DeviceWorkspace;
struct MinerState;

// The pipeline's record of one slot.
struct PipelineSlot {
  DeviceWorkspace* workspace = nullptr;
  MiningJob job;                        // what the slot was last prepared for
  std::array<uint8_t, 32> job_key{};
  uint64_t attempt = 0;
  bool b_fill_valid = false;            // B and its root are current for the key and shape below
  std::array<uint8_t, 32> b_fill_key{};
  std::array<int32_t, 4> b_fill_shape{};
  bool b_tree_valid = false;            // B's proof levels are current for the key and shape below
  std::array<uint8_t, 32> b_tree_key{};
  std::array<int32_t, 4> b_tree_shape{};
};

// Returns when max_attempts is reached; every failure is an exception.
void run_pool_pipeline(MinerState& state);
