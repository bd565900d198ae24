#include "engine/headless_benchmark.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

#include "core/codecs.h"
#include "core/cuda_check.h"
#include "core/log.h"
#include "engine/miner_state.h"
#include "engine/pipeline_stages.h"

namespace {

double rate_tmac_s(double work, int64_t start_ns) {
  const double seconds = static_cast<double>(steady_now_ns() - start_ns) / 1e9;
  return work / std::max(1e-9, seconds) / 1e12;
}

}  // namespace

void run_headless_benchmark(MinerState& state) {
  if (!state.split) {
    throw std::runtime_error("--benchmark-headless-only requires split sparse/headless backend");
  }
  const Config& c = state.config;
  DeviceWorkspace& w = *state.workspace;
  cudaStream_t mining = state.mining_stream.stream;
  const int64_t launches = c.max_attempts > 0 ? c.max_attempts : 300;
  // With a pool setting there is no offline job; the key is then all zeros.
  std::array<uint8_t, 32> key{};
  if (!state.config.pool_configured) key = state.offline_key;
  const std::array<uint32_t, 8> target = state.offline_job.target;

  check_cuda(cudaMemcpyAsync(w.key.data, key.data(), 32, cudaMemcpyHostToDevice, mining),
             "benchmark copy key");
  check_cuda(cudaMemcpyAsync(w.target.data, target.data(), 32, cudaMemcpyHostToDevice, mining),
             "benchmark copy target");
  check_cuda(cudaDeviceSynchronize(), "pre-measure synchronize");
  const int64_t t0 = steady_now_ns();
  benchmark_prepare_step(state);
  check_cuda(cudaDeviceSynchronize(), "post-measure synchronize");
  const double prep_seconds = static_cast<double>(steady_now_ns() - t0) / 1e9;
  log_info("benchmark", "headless_only_prepared prep_seconds=" + format_fixed(prep_seconds, 4) +
                            " attempts=" + std::to_string(launches) + " target=zero");

  const int64_t start = steady_now_ns();
  int64_t hits = 0;
  double work = state.total_work;
  for (int64_t i = 1; i <= launches; ++i) {
    check_cuda(cudaMemsetAsync(w.signal_header, 0, w.signal_header_bytes, mining),
               "benchmark clear signal header");
    check_cuda(cudaMemsetAsync(w.signal_sync.data, 0, w.signal_sync.count, mining),
               "benchmark clear signal sync");
    check_cuda(state.row->launch_headless_mine(
                   w.a_noised.data, w.b_noised.data, c.m, c.n, c.k, w.signal_header,
                   w.sync_word(), w.target.data,
                   reinterpret_cast<const uint32_t*>(w.a_noise_seed.data), c.rank, w.extra.data,
                   mining),
               "benchmark headless mine");
    check_cuda(cudaStreamSynchronize(mining), "benchmark headless synchronize");
    if (w.signal_header->status == 1) hits += 1;
    work += state.attempt_work();
    if (c.status_interval > 0 && i % c.status_interval == 0) {
      log_info("benchmark", "headless_only_status attempts=" + std::to_string(i) +
                                " hits=" + std::to_string(hits) +
                                " tmac_s=" + format_fixed2(rate_tmac_s(work, start)));
    }
  }
  state.total_work = work;
  log_info("benchmark", "headless_only_final attempts=" + std::to_string(launches) +
                            " hits=" + std::to_string(hits) +
                            " tmac_s=" + format_fixed2(rate_tmac_s(work, start)));
}
