#include "core/entry_point.h"

#include <csignal>
#include <iostream>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/cli.h"
#include "core/config.h"
#include "core/device_listing.h"
#include "core/errors.h"
#include "core/gpu_api.h"
#include "core/log.h"
#include "core/log_value.h"
#include "core/pool_password.h"
#include "core/primary_contexts.h"
#include "core/usage.h"
#include "proof/proof_modes.h"

namespace {

void fill_all_devices(Config& config) {
  int count = 0;
  const cudaError_t counted = cudaGetDeviceCount(&count);
  if (counted != cudaSuccess) {
    throw std::runtime_error(std::string("cudaGetDeviceCount failed: ") +
                             cudaGetErrorString(counted));
  }
  if (count <= 0) throw std::runtime_error("no CUDA devices found");
  for (int i = 0; i < count; ++i) config.devices.push_back(i);
}

// Two threads on one device would overwrite each other's device state (the
// hash key lives in per-device constant memory), so an ordinal may appear once.
void refuse_repeated_devices(const std::vector<int32_t>& devices) {
  std::set<int32_t> seen;
  for (const int32_t device : devices) {
    if (!seen.insert(device).second) {
      throw std::runtime_error("--devices lists device " + std::to_string(device) +
                               " more than once");
    }
  }
}

std::string joined_ordinals(const std::vector<int32_t>& devices) {
  std::string text;
  for (size_t i = 0; i < devices.size(); ++i) {
    if (i) text += ",";
    text += std::to_string(devices[i]);
  }
  return text;
}

int run_device_threads(const Config& config, const RunMinerFn& run_miner) {
  const size_t count = config.devices.size();
  std::vector<int> results(count, 0);
  std::vector<std::thread> threads;
  threads.reserve(count);
  try {
    for (size_t i = 0; i < count; ++i) {
      threads.emplace_back([i, &results, &config, &run_miner] {
        const int device = config.devices[i];
        const int worker_count = static_cast<int>(config.devices.size());
        results[i] = run_miner(Config(config), device, static_cast<int>(i), worker_count);
      });
    }
  } catch (const std::system_error& e) {
    // The started devices run to their end; then the failed start is reported.
    for (std::thread& thread : threads) thread.join();
    throw std::runtime_error(std::string("start device thread: ") + e.what());
  }
  for (std::thread& thread : threads) thread.join();
  int status = 0;
  for (const int result : results) {
    if (result != 0) status = result;
  }
  return status;
}

}  // namespace

int launch_mining(Config& config, const RunMinerFn& run_miner) {
  if (config.devices.empty()) fill_all_devices(config);
  refuse_repeated_devices(config.devices);
  const uint32_t count = static_cast<uint32_t>(config.devices.size());
  password_for_device(config.password, 0, count);
  configure_cuda_primary_contexts(config);
  if (count == 1) return run_miner(Config(config), config.devices[0], 0, 1);

  if (config.debug_dump || config.dump_coords || config.debug_gemm_tile) {
    throw std::runtime_error("--devices with multiple GPUs is not supported for debug modes");
  }
  if (config.pool.empty()) {
    throw std::runtime_error("--devices with multiple GPUs currently requires Stratum mode");
  }
  log_info("miner", "starting_multi_gpu devices=" + joined_ordinals(config.devices), "system");
  return run_device_threads(config, run_miner);
}

int korvath_main(int argc, char** argv, const RunMinerFn& run_miner) {
  std::signal(SIGPIPE, SIG_IGN);
  try {
    Config config = parse_cli_config(argc, argv);
    log_debug_enabled = config.debug_logs;
    log_color_mode = config.color_mode;
    if (config.proof_self_test) return run_proof_self_test();
    if (config.proof_bench) return run_proof_bench(config);
    if (config.list_devices) return list_cuda_devices();
    if (config.gpu_proof_bench) return run_gpu_proof_bench(config);
    return launch_mining(config, run_miner);
  } catch (const CliUsageError& e) {
    log_line(LogLevel::Error, "cli", "error=" + log_quoted(e.what()), "system");
    print_usage(std::cerr);
    return 2;
  } catch (const std::exception& e) {
    log_line(LogLevel::Error, "miner", "error=" + log_quoted(e.what()), "system");
    return 1;
  }
}
