#pragma once
// What one run_miner call owns for its device, shared by its mining loops.
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "backends/backend_descriptor.h"
#include "core/config.h"
#include "core/cuda_streams.h"
#include "core/job_key.h"
#include "core/mining_job.h"
#include "engine/b200_pipeline_mode.h"
#include "engine/device_buffer.h"
#include "engine/device_workspace.h"
#include "engine/hash_settings.h"
#include "engine/share_rate_meter.h"
#include "pool/gateway_connection.h"
#include "pool/pool_connection.h"
#include "proof/async_submitter.h"

// Owns one CUDA stream (or none).
struct StreamHolder {
  cudaStream_t stream = nullptr;

  StreamHolder() = default;
  StreamHolder(const StreamHolder&) = delete;
  StreamHolder& operator=(const StreamHolder&) = delete;
  ~StreamHolder() { reset(); }
  void reset() {
    if (stream) cudaStreamDestroy(stream);
    stream = nullptr;
  }
};

struct MinerState {
  explicit MinerState(Config run_config, int device_ordinal)
      : config(std::move(run_config)), device(device_ordinal) {}
  MinerState(const MinerState&) = delete;
  MinerState& operator=(const MinerState&) = delete;
  // Waits for every stream of the device before the members below are
  // released, so no kernel or proof still uses what is freed.
  ~MinerState();

  Config config;  // the workspace's shape once one exists
  int device = 0;
  bool device_selected = false;
  cudaDeviceProp prop{};
  std::string gpu_label;
  const GpuBackendDescriptor* row = nullptr;
  bool split = false;
  bool hopper_row = false;
  bool b200_row = false;
  B200PipelineMode b200_mode;
  bool pool_in_use = false;
  bool offline = false;
  std::string user_login;
  std::string dev_fee_login;
  bool dev_fee_active = false;
  bool dev_fee_given_up = false;  // this window's fee login failed; the user's stays until it closes

  // Declared before what they use and after what uses them: the submitter's
  // workers use the connection and the meter, so it goes first.
  std::unique_ptr<PoolConnection> pool;        // pool mode only
  std::unique_ptr<GatewayConnection> gateway;  // gateway mode only
  ShareRateMeter meter;
  std::unique_ptr<AsyncEncodedPlainProofSubmitter> submitter;  // pool mode, asynchronous
  StreamHolder mining_stream;
  StreamHolder aux_stream;
  StreamHolder proof_stream;
  CudaEventHolder setup_ready;
  CudaEventHolder hash_b_done;
  CudaEventHolder noise_done;
  CudaEventHolder sparse_b_done;
  TensorHashSettings hash_settings;

  uint32_t a_hash_blocks = 0;  // set by ensure_workspace, each matrix its own
  uint32_t b_hash_blocks = 0;
  int32_t rank_steps = 0;
  int64_t dump_entries = 0;
  int64_t dump_values = 0;
  OwnedDeviceBuffer<uint32_t> dump_count_buffer;
  OwnedDeviceBuffer<int32_t> dump_value_buffer;
  OwnedDeviceBuffer<VexalHeadlessJackpotDumpEntry> dump_entry_buffer;
  std::unique_ptr<DeviceWorkspace> workspace;

  MiningJob cached_job;
  MiningJob offline_job;
  std::array<uint8_t, 32> offline_key{};
  bool job_active = false;
  int32_t attempts_on_job = 0;
  double total_work = 0;
  int64_t start_ns = 0;

  const JobKeyPatternPair& key_patterns() const {
    return hopper_row ? kHopperSm90JobKeyPatterns : kDefaultJobKeyPatterns;
  }
  // m x n x k of the current shape, as the rates count it.
  double attempt_work() const {
    return static_cast<double>(config.m) * static_cast<double>(config.n) *
           static_cast<double>(config.k);
  }
};

enum class MiningLoop { HeadlessBenchmark, PoolPipeline, OfflinePipeline, Serial };

// The loop a run uses, by the first rule that applies.
MiningLoop choose_mining_loop(const MinerState& state);

// Rebuilds the workspace (and the jackpot-dump buffers) for the shape, after
// the device has finished with the old one. Throws the shape refusals before
// anything is allocated.
void ensure_workspace(MinerState& state, const Config& shape, const char* reason);

// The serial loop requests proof snapshots; no other loop proves from them.
bool workspace_wants_snapshots(const MinerState& state);
