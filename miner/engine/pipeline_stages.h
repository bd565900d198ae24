#pragma once
// The preparation of one attempt's operands in five stages (0 setup, 1 fill,
// 2 hash, 3 noise, 4 sparse), issued on a prep stream and a prep aux stream
// that meet only through events.
#include <cstdint>

#include "core/gpu_api.h"

class DeviceWorkspace;
struct MinerState;

constexpr int kPrepStageCount = 5;

// Timing events of the preparation, recorded only when profiling.
struct PrepProfileEvents {
  bool enabled = false;
  cudaEvent_t t_start = nullptr;
  cudaEvent_t t_fill = nullptr;
  cudaEvent_t t_hash = nullptr;
  cudaEvent_t t_noise = nullptr;
  cudaEvent_t t_sparse = nullptr;
};

// Where and how one preparation runs.
struct PrepTarget {
  const char* step_prefix = "pipeline";  // step names read "<prefix> fill_int8 A" and so on
  DeviceWorkspace* workspace = nullptr;
  uint64_t attempt = 0;                  // A from matrix_seed + 2 attempt, B from the next seed
  cudaStream_t prep = nullptr;
  cudaStream_t prep_aux = nullptr;
  cudaEvent_t setup_ready = nullptr;
  cudaEvent_t hash_b_done = nullptr;
  cudaEvent_t noise_done = nullptr;
  cudaEvent_t sparse_b_done = nullptr;
  cudaEvent_t prep_done = nullptr;       // null: the caller synchronises instead
  bool* key_uploaded = nullptr;          // stage 0 uploads key and target once per slot
  const uint8_t* host_key = nullptr;
  const uint32_t* host_target = nullptr;
  bool noise_in_place = true;            // else into the workspace's noised buffers
  bool reuse_b = false;                  // B and its root are still current: neither filled nor hashed
  const PrepProfileEvents* profile = nullptr;
};

// Runs the stages first <= s < last of one preparation.
void run_prep_stages(const MinerState& state, const PrepTarget& target, int first, int last);

// The offline pipeline's preparation of a slot: the constant job's key and
// target, noise applied in place.
void prepare_pipeline_stages(const MinerState& state, PrepTarget target, uint64_t attempt,
                             int first, int last);

// The benchmark's single preparation (stages 1 to 4, attempt 0) on run_miner's
// mining and aux streams, noised operands into a_noised and b_noised.
void benchmark_prepare_step(MinerState& state);
