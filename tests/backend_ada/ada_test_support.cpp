#include "ada_test_support.h"

#include <cstdlib>
#include <cstring>

#include "core/config.h"
#include "engine/cpu_operand_reference.h"
#include "engine/cpu_tile_transcript.h"
#include "proof/plain_proof.h"

void AdaDeviceTest::SetUp() {
  setenv("HOSTGPU_DEVICES", "8.9,Host Ada,4096,8", 1);
  hostgpu::inspect::reinitialise();
}

void AdaDeviceTest::TearDown() {
  unsetenv("HOSTGPU_DEVICES");
  hostgpu::inspect::reinitialise();
}

hostgpu::inspect::LaunchRecord last_launch() {
  hostgpu::inspect::LaunchRecord record;
  if (!hostgpu::inspect::last_launch(&record)) return hostgpu::inspect::LaunchRecord{};
  return record;
}

const GpuBackendDescriptor& forced_row(const char* force_name) {
  Config config;
  config.force_backend = force_name;
  cudaDeviceProp prop{};
  return select_backend(config, prop);
}

const GpuBackendDescriptor& ada_row() { return forced_row("ada"); }

std::vector<uint32_t> all_ones_target() { return std::vector<uint32_t>(8, 0xffffffffu); }
std::vector<uint32_t> zero_target() { return std::vector<uint32_t>(8, 0u); }
std::vector<uint32_t> one_in_sixteen_target() {
  std::vector<uint32_t> target = all_ones_target();
  target[7] = 0x0fffffffu;
  return target;
}

namespace {

constexpr uint64_t kMatrixSeed = 1000;

std::vector<uint8_t> test_seed(uint8_t salt) {
  std::vector<uint8_t> seed(32);
  for (int i = 0; i < 32; ++i) seed[i] = static_cast<uint8_t>(salt * 131 + i * 29 + (i >> 2));
  return seed;
}

std::vector<int8_t> rows_of(const std::vector<int8_t>& matrix, const std::vector<uint64_t>& rows,
                            int k) {
  std::vector<int8_t> out;
  for (uint64_t r : rows) {
    out.insert(out.end(), matrix.begin() + r * k, matrix.begin() + (r + 1) * k);
  }
  return out;
}

}  // namespace

MiningAttempt::MiningAttempt(const AttemptShape& s)
    : shape_(s),
      seed_a_host_(test_seed(11)),
      seed_b_host_(test_seed(12)),
      a_(size_t(s.m) * s.k),
      b_(size_t(s.n) * s.k),
      a_left_(size_t(s.m) * s.rank),
      a_right_(size_t(s.rank) * s.k),
      b_right_(size_t(s.rank) * s.k),
      b_left_(size_t(s.n) * s.rank),
      noised_a_(size_t(s.m) * s.k),
      noised_b_(size_t(s.n) * s.k),
      a_index0_(size_t(s.k)),
      a_index1_(size_t(s.k)),
      b_index0_(size_t(s.k)),
      b_index1_(size_t(s.k)),
      seed_a_(32),
      seed_b_(32),
      target_(8),
      extra_(1),
      sync_(1) {
  seed_a_.upload(seed_a_host_);
  seed_b_.upload(seed_b_host_);
  cudaHostAlloc(reinterpret_cast<void**>(&header_), sizeof(HostSignalHeader), cudaHostAllocDefault);
  const CpuNoiseFactors fa = cpu_noise_factors(seed_a_host_.data(), s.m, s.k, s.rank);
  const CpuNoiseFactors fb = cpu_noise_factors(seed_b_host_.data(), s.n, s.k, s.rank);
  cpu_noised_a_ = cpu_apply_noise(cpu_fill_int8(kMatrixSeed, int64_t(s.m) * s.k), fa.left, fa.right,
                                  s.m, s.k, s.rank);
  cpu_noised_b_ = cpu_apply_noise(cpu_fill_int8(kMatrixSeed + 1, int64_t(s.n) * s.k), fb.left,
                                  fb.right, s.n, s.k, s.rank);
}

MiningAttempt::~MiningAttempt() { cudaFreeHost(header_); }

cudaError_t MiningAttempt::prepare(const GpuBackendDescriptor& row,
                                   const std::vector<uint32_t>& target) {
  const AttemptShape& s = shape_;
  target_.upload(target);
  std::memset(header_, 0, sizeof(HostSignalHeader));
  cudaMemset(sync_.ptr, 0, sizeof(HostSignalSync));
  cudaError_t error = row.launch_fill_int8(a_.ptr, int64_t(s.m) * s.k, kMatrixSeed, nullptr);
  if (error != cudaSuccess) return error;
  error = row.launch_fill_int8(b_.ptr, int64_t(s.n) * s.k, kMatrixSeed + 1, nullptr);
  if (error != cudaSuccess) return error;
  return row.launch_generate_noise(s.rank, s.m, s.n, s.k, a_left_.ptr, a_right_.ptr, b_right_.ptr,
                                   b_left_.ptr, seed_a_.ptr, seed_b_.ptr, nullptr);
}

cudaError_t MiningAttempt::mine_split(const GpuBackendDescriptor& row,
                                      const std::vector<uint32_t>& target) {
  cudaError_t error = prepare(row, target);
  if (error != cudaSuccess) return error;
  const AttemptShape& s = shape_;
  error = row.launch_apply_sparse_noise(b_.ptr, b_left_.ptr, b_right_.ptr, noised_b_.ptr,
                                        b_index0_.ptr, b_index1_.ptr, s.n, s.k, s.rank, nullptr);
  if (error != cudaSuccess) return error;
  error = row.launch_apply_sparse_noise(a_.ptr, a_left_.ptr, a_right_.ptr, noised_a_.ptr,
                                        a_index0_.ptr, a_index1_.ptr, s.m, s.k, s.rank, nullptr);
  if (error != cudaSuccess) return error;
  error = row.launch_headless_mine(noised_a_.ptr, noised_b_.ptr, s.m, s.n, s.k, header_, sync_.ptr,
                                   target_.ptr, reinterpret_cast<const uint32_t*>(seed_a_.ptr),
                                   s.rank, extra_.ptr, nullptr);
  cudaDeviceSynchronize();
  return error;
}

cudaError_t MiningAttempt::mine_fused(const GpuBackendDescriptor& row,
                                      const std::vector<uint32_t>& target) {
  cudaError_t error = prepare(row, target);
  if (error != cudaSuccess) return error;
  const AttemptShape& s = shape_;
  error = row.launch_noise_and_mine(
      a_.ptr, b_.ptr, a_left_.ptr, b_left_.ptr, a_right_.ptr, b_right_.ptr, noised_a_.ptr,
      noised_b_.ptr, a_index0_.ptr, a_index1_.ptr, b_index0_.ptr, b_index1_.ptr, s.m, s.n, s.k,
      s.rank, header_, sync_.ptr, target_.ptr, reinterpret_cast<const uint32_t*>(seed_a_.ptr),
      extra_.ptr, nullptr);
  cudaDeviceSynchronize();
  return error;
}

cudaError_t MiningAttempt::mine_dump(const GpuBackendDescriptor& row,
                                     const std::vector<uint32_t>& target,
                                     VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                                     uint32_t* value_counts, int capacity) {
  cudaError_t error = prepare(row, target);
  if (error != cudaSuccess) return error;
  const AttemptShape& s = shape_;
  error = row.launch_noise_and_mine_dump(
      a_.ptr, b_.ptr, a_left_.ptr, b_left_.ptr, a_right_.ptr, b_right_.ptr, noised_a_.ptr,
      noised_b_.ptr, a_index0_.ptr, a_index1_.ptr, b_index0_.ptr, b_index1_.ptr, s.m, s.n, s.k,
      s.rank, header_, sync_.ptr, target_.ptr, reinterpret_cast<const uint32_t*>(seed_a_.ptr),
      entries, values, value_counts, capacity, nullptr);
  cudaDeviceSynchronize();
  return error;
}

CandidateCells candidate_cells(int thread) {
  CandidateCells cells;
  const uint64_t row = 64 * ((thread / 32) % 2) + thread % 32;
  cells.rows = {row, row + 32};
  for (int j = 0; j < 64; ++j) cells.cols.push_back(64 * (thread / 64) + j);
  return cells;
}

ThreadTranscript cpu_thread_transcript(const MiningAttempt& attempt, uint32_t tile_m,
                                       uint32_t tile_n, int tile_width, int thread) {
  const CandidateCells cells = candidate_cells(thread);
  OpenedRowsCols opened;
  for (uint64_t r : cells.rows) opened.rows.push_back(uint64_t(tile_m) * 128 + r);
  for (uint64_t c : cells.cols) opened.cols.push_back(uint64_t(tile_n) * tile_width + c);
  Config config;
  config.k = attempt.shape().k;
  config.rank = attempt.shape().rank;
  ThreadTranscript result;
  cpu_tile_transcript(result.digest, rows_of(attempt.cpu_noised_a(), opened.rows, config.k),
                      rows_of(attempt.cpu_noised_b(), opened.cols, config.k), opened,
                      attempt.seed_a().data(), config, result.words);
  return result;
}
