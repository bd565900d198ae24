#include "mining_attempt.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/config.h"
#include "engine/cpu_tile_transcript.h"
#include "proof/plain_proof.h"

const GpuBackendDescriptor& forced_row(const char* force_name) {
  Config config;
  config.force_backend = force_name;
  cudaDeviceProp prop{};
  return select_backend(config, prop);
}

std::vector<uint32_t> all_ones_target() { return std::vector<uint32_t>(8, 0xffffffffu); }
std::vector<uint32_t> zero_target() { return std::vector<uint32_t>(8, 0u); }
std::vector<uint32_t> one_in_sixteen_target() {
  std::vector<uint32_t> target = all_ones_target();
  target[7] = 0x0fffffffu;
  return target;
}

namespace {
constexpr uint64_t kMatrixSeed = 1000;
}

MiningAttempt::MiningAttempt(const AttemptShape& s, int spare_a_rows)
    : shape_(s),
      seed_a_host_(test_seed(11)),
      seed_b_host_(test_seed(12)),
      a_(size_t(s.m) * s.k),
      b_(size_t(s.n) * s.k),
      a_left_(size_t(s.m) * s.rank),
      a_right_(size_t(s.rank) * s.k),
      b_right_(size_t(s.rank) * s.k),
      b_left_(size_t(s.n) * s.rank),
      noised_a_((size_t(s.m) + size_t(spare_a_rows)) * s.k),
      noised_b_(size_t(s.n) * s.k),
      a_index0_(size_t(s.k)),
      a_index1_(size_t(s.k)),
      b_index0_(size_t(s.k)),
      b_index1_(size_t(s.k)),
      seed_a_(seed_a_host_),
      seed_b_(seed_b_host_),
      digest_key_(32),
      target_(8),
      extra_(1),
      sync_(1) {
  cudaHostAlloc(reinterpret_cast<void**>(&header_), sizeof(HostSignalHeader), cudaHostAllocDefault);
  const CpuNoiseFactors fa = cpu_noise_factors(seed_a_host_.data(), s.m, s.k, s.rank);
  const CpuNoiseFactors fb = cpu_noise_factors(seed_b_host_.data(), s.n, s.k, s.rank);
  cpu_noised_a_ = cpu_apply_noise(cpu_fill_int8(kMatrixSeed, int64_t(s.m) * s.k), fa.left, fa.right, s.m, s.k,
                                  s.rank);
  cpu_noised_b_ = cpu_apply_noise(cpu_fill_int8(kMatrixSeed + 1, int64_t(s.n) * s.k), fb.left, fb.right, s.n,
                                  s.k, s.rank);
}

MiningAttempt::~MiningAttempt() { cudaFreeHost(header_); }

cudaError_t MiningAttempt::prepare(const GpuBackendDescriptor& row, const std::vector<uint32_t>& target) {
  const AttemptShape& s = shape_;
  cudaMemcpy(target_.ptr, target.data(), 32, cudaMemcpyHostToDevice);
  std::memset(header_, 0, sizeof(HostSignalHeader));
  cudaMemset(sync_.ptr, 0, sizeof(HostSignalSync));
  // A and B and the noise factors stay as the same two slots left them.
  if (prepared_fill_ == row.launch_fill_int8 && prepared_noise_ == row.launch_generate_noise) {
    return cudaSuccess;
  }
  prepared_fill_ = nullptr;
  cudaError_t error = row.launch_fill_int8(a_.ptr, int64_t(s.m) * s.k, kMatrixSeed, nullptr);
  if (error != cudaSuccess) return error;
  error = row.launch_fill_int8(b_.ptr, int64_t(s.n) * s.k, kMatrixSeed + 1, nullptr);
  if (error != cudaSuccess) return error;
  error = row.launch_generate_noise(s.rank, s.m, s.n, s.k, a_left_.ptr, a_right_.ptr, b_right_.ptr, b_left_.ptr,
                                    seed_a_.ptr, seed_b_.ptr, nullptr);
  if (error != cudaSuccess) return error;
  prepared_fill_ = row.launch_fill_int8;
  prepared_noise_ = row.launch_generate_noise;
  return cudaSuccess;
}

cudaError_t MiningAttempt::mine(const GpuBackendDescriptor& row, const std::vector<uint32_t>& target) {
  return mine(row, target, seed_a_host_);
}

cudaError_t MiningAttempt::mine(const GpuBackendDescriptor& row, const std::vector<uint32_t>& target,
                                const std::vector<uint8_t>& digest_key) {
  if (digest_key.size() != 32) return cudaErrorInvalidValue;
  cudaMemcpy(digest_key_.ptr, digest_key.data(), 32, cudaMemcpyHostToDevice);
  cudaError_t error = prepare(row, target);
  if (error != cudaSuccess) return error;
  const AttemptShape& s = shape_;
  error = row.launch_noise_and_mine(a_.ptr, b_.ptr, a_left_.ptr, b_left_.ptr, a_right_.ptr, b_right_.ptr,
                                    noised_a_.ptr, noised_b_.ptr, a_index0_.ptr, a_index1_.ptr, b_index0_.ptr,
                                    b_index1_.ptr, s.m, s.n, s.k, s.rank, header_, sync_.ptr, target_.ptr,
                                    reinterpret_cast<const uint32_t*>(digest_key_.ptr), extra_.ptr, nullptr);
  cudaDeviceSynchronize();
  return error;
}

cudaError_t MiningAttempt::mine_with_dump(const GpuBackendDescriptor& row, const std::vector<uint32_t>& target,
                                          VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                                          uint32_t* value_counts, int capacity) {
  cudaError_t error = prepare(row, target);
  if (error != cudaSuccess) return error;
  const AttemptShape& s = shape_;
  error = row.launch_noise_and_mine_dump(
      a_.ptr, b_.ptr, a_left_.ptr, b_left_.ptr, a_right_.ptr, b_right_.ptr, noised_a_.ptr, noised_b_.ptr,
      a_index0_.ptr, a_index1_.ptr, b_index0_.ptr, b_index1_.ptr, s.m, s.n, s.k, s.rank, header_, sync_.ptr,
      target_.ptr, reinterpret_cast<const uint32_t*>(seed_a_.ptr), entries, values, value_counts, capacity,
      nullptr);
  cudaDeviceSynchronize();
  return error;
}

std::vector<int8_t> MiningAttempt::device_noised_a() const {
  std::vector<int8_t> rows = noised_a_.download();
  rows.resize(size_t(shape_.m) * shape_.k);
  return rows;
}

std::vector<int8_t> MiningAttempt::a_rows(const std::vector<uint64_t>& rows) const {
  std::vector<int8_t> out;
  for (uint64_t r : rows) {
    out.insert(out.end(), cpu_noised_a_.begin() + r * shape_.k, cpu_noised_a_.begin() + (r + 1) * shape_.k);
  }
  return out;
}

std::vector<int8_t> MiningAttempt::b_rows(const std::vector<uint64_t>& cols) const {
  std::vector<int8_t> out;
  for (uint64_t c : cols) {
    out.insert(out.end(), cpu_noised_b_.begin() + c * shape_.k, cpu_noised_b_.begin() + (c + 1) * shape_.k);
  }
  return out;
}

ThreadTranscript cpu_thread_transcript(const MiningAttempt& attempt, uint32_t tile_m, uint32_t tile_n,
                                       int thread) {
  // Rows 64·g + o and + 32, columns 64·c .. 64·c + 63 of the 128 x 128 tile.
  OpenedRowsCols opened;
  const uint64_t row = uint64_t(tile_m) * 128 + 64 * ((thread / 32) % 2) + thread % 32;
  opened.rows = {row, row + 32};
  for (int j = 0; j < 64; ++j) opened.cols.push_back(uint64_t(tile_n) * 128 + 64 * (thread / 64) + j);
  Config config;
  config.k = attempt.shape().k;
  config.rank = attempt.shape().rank;
  ThreadTranscript result;
  cpu_tile_transcript(result.digest, attempt.a_rows(opened.rows), attempt.b_rows(opened.cols), opened,
                      attempt.seed_a().data(), config, result.words);
  return result;
}

void expect_first_thread_of_first_tile(const MiningAttempt& attempt) {
  EXPECT_EQ(attempt.device_noised_a(), attempt.cpu_noised_a());
  EXPECT_EQ(attempt.device_noised_b(), attempt.cpu_noised_b());
  const HostSignalHeader& h = attempt.header();
  ASSERT_EQ(h.status, 1u);
  EXPECT_EQ(h.tile_m_index, 0u);
  EXPECT_EQ(h.tile_n_index, 0u);
  EXPECT_EQ(h.candidate_thread, 0);
  EXPECT_EQ(h.tile_height, 128);
  EXPECT_EQ(h.tile_width, 128);
  ASSERT_EQ(h.pair_count, 128);
  for (int v = 0; v < 128; ++v) {
    EXPECT_EQ(h.pair_rows[v], v < 64 ? 0 : 32);
    EXPECT_EQ(h.pair_cols[v], v % 64);
  }
  const ThreadTranscript cpu = cpu_thread_transcript(attempt, 0, 0, 0);
  EXPECT_EQ(0, std::memcmp(h.transcript, cpu.words, sizeof(cpu.words)));
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, cpu.digest, 32));
}
