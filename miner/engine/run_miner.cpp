#include "engine/run_miner.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "core/cuda_check.h"
#include "core/log.h"
#include "core/log_value.h"
#include "core/pool_password.h"
#include "diagnostics/coord_dump.h"
#include "diagnostics/debug_gemm_tile.h"
#include "diagnostics/native_exact_rank_tile.h"
#include "engine/dev_fee.h"
#include "engine/device_identity.h"
#include "engine/headless_benchmark.h"
#include "engine/miner_connections.h"
#include "engine/miner_startup.h"
#include "engine/mining_shape.h"
#include "engine/offline_pipeline.h"
#include "engine/pool_pipeline.h"
#include "engine/serial_loop.h"

namespace {

std::string hex_without_leading_zeros(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
  return text;
}

// The diagnostic modes replace mining: each runs once with the row and ends
// the call before any connection. Returns whether one ran.
bool run_diagnostic_mode(const Config& config, const GpuBackendDescriptor& row) {
  if (config.dump_coords) {
    run_coord_dump(row);
  } else if (config.debug_gemm_tile) {
    run_debug_gemm_tile(config, row);
  } else if (config.debug_native_exact_rank_tile) {
    debug_native_exact_rank_tile(row);
  } else {
    return false;
  }
  return true;
}

void create_streams_and_events(MinerState& state) {
  if (state.b200_mode.priority) {
    // The prioritised pipeline mines on a stream of its own; this one stays low.
    create_low_priority_stream(state.mining_stream.stream, "create mining stream");
    create_low_priority_stream(state.aux_stream.stream, "create aux stream");
  } else {
    create_nonblocking_stream(state.mining_stream.stream, "create mining stream");
    create_nonblocking_stream(state.aux_stream.stream, "create aux stream");
  }
  create_low_priority_stream(state.proof_stream.stream, "create proof stream");
  state.setup_ready = create_untimed_event("create setup event");
  state.hash_b_done = create_untimed_event("create hash B event");
  state.noise_done = create_untimed_event("create noise event");
  state.sparse_b_done = create_untimed_event("create sparse B event");
}

void end_serial_loop(MinerState& state) {
  if (state.submitter) {
    state.submitter->stop();
    state.submitter->rethrow_worker_error();
  }
  check_cuda(cudaStreamSynchronize(state.proof_stream.stream), "final proof stream drain");
  check_cuda(cudaStreamSynchronize(state.aux_stream.stream), "final aux stream drain");
  check_cuda(cudaStreamSynchronize(state.mining_stream.stream), "final mining stream drain");
  state.workspace.reset();
  state.dump_entry_buffer.reset();
  state.dump_value_buffer.reset();
  state.dump_count_buffer.reset();
  state.mining_stream.reset();
  state.aux_stream.reset();
  state.proof_stream.reset();
}

}  // namespace

bool start_up_miner(MinerState& state, int worker_index, int worker_count) {
  Config& config = state.config;
  check_cuda(cudaSetDevice(state.device), "cudaSetDevice");
  state.device_selected = true;
  config.matrix_seed = derive_matrix_seed(state.device, worker_index, worker_count);
  if (worker_count > 1) config.login = expand_worker_name(config.login, state.device, worker_index);
  const std::string password = password_for_device(config.password, worker_index,
                                                   static_cast<uint32_t>(worker_count));
  if (password != config.password) {
    log_info("miner", "per_device_pool_password=" + log_quoted(password));
  }
  config.password = password;
  state.user_login = config.login;
  state.dev_fee_login = make_dev_fee_login();

  int current = 0;
  check_cuda(cudaGetDevice(&current), "cudaGetDevice");
  state.prop = cudaDeviceProp{};
  check_cuda(cudaGetDeviceProperties(&state.prop, current), "cudaGetDeviceProperties");
  state.gpu_label = std::to_string(current) + ":" + state.prop.name;
  thread_gpu_label = state.gpu_label;

  state.row = &select_backend(config, state.prop);
  const std::string row_name = state.row->name;
  state.hopper_row = row_name == "hopper_sm90";
  state.b200_row = row_name == "blackwell_b200_sm100";
  if (state.b200_row) state.b200_mode = read_b200_pipeline_mode();
  state.split = is_split_backend(*state.row);
  state.pool_in_use = !config.pool.empty();
  state.offline = config.dry_run && !config.pool_configured;

  log_info("miner", "matrix_seed=0x" + hex_without_leading_zeros(config.matrix_seed) +
                        " source=random");
  log_info("miner", "backend=" + row_name);
  if (state.b200_row) log_info("miner", "b200_pipeline_mode=" + state.b200_mode.log_value);

  require_backend_built(*state.row);
  if (run_diagnostic_mode(config, *state.row)) return false;

  log_info("miner", "starting profile_m=" + std::to_string(config.m) +
                        " profile_n=" + std::to_string(config.n) +
                        " profile_k=" + std::to_string(config.k) +
                        " rank=" + std::to_string(config.rank) +
                        " estimated_vram_bytes=2855403520 worker=" +
                        log_quoted(config.login.empty() ? std::string("-") : config.login));

  // The benchmark mines prepared operands only and talks to nobody.
  const bool connects = !config.benchmark_headless_only;
  if (connects) open_miner_connections(state);

  create_streams_and_events(state);
  state.hash_settings = read_tensor_hash_settings();
  check_tensor_hash_settings(state.hash_settings, state.prop);
  if (!state.pool_in_use || config.benchmark_headless_only) {
    ensure_workspace(state, config, "startup");
  }

  state.cached_job = MiningJob{};
  state.offline_job = MiningJob{};
  state.job_active = false;
  state.attempts_on_job = 0;
  state.total_work = 0;
  state.start_ns = steady_now_ns();
  state.offline_key.fill(0);
  if (state.offline) {
    MiningJob& job = state.offline_job;
    job.m = config.m;
    job.n = config.n;
    job.k = config.k;
    job.rank = config.rank;
    job.rows_pattern = {0, 32};
    job.cols_pattern = default_opened_columns();
    job.header_bytes.clear();
    job.target.fill(0);
    const JobKeyPatternPair& patterns = state.key_patterns();
    derive_job_key(state.offline_key.data(), job.header_bytes, static_cast<uint32_t>(config.k),
                   config.rank, patterns.first, patterns.second);
  }
  return true;
}

void run_mining_loop(MinerState& state) {
  switch (choose_mining_loop(state)) {
    case MiningLoop::HeadlessBenchmark:
      run_headless_benchmark(state);
      return;
    case MiningLoop::PoolPipeline:
      run_pool_pipeline(state);
      return;
    case MiningLoop::OfflinePipeline:
      run_offline_pipeline(state);
      return;
    case MiningLoop::Serial:
      run_serial_loop(state);
      end_serial_loop(state);
      return;
  }
}

int run_miner(Config config, int device, int worker_index, int worker_count) {
  try {
    MinerState state(std::move(config), device);
    if (start_up_miner(state, worker_index, worker_count)) run_mining_loop(state);
    return 0;
  } catch (const std::exception& e) {
    log_line(LogLevel::Error, "miner", "error=" + log_quoted(e.what()));
    return 1;
  }
}
