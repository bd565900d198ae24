#pragma once
// A capability 8.9 host device per test, device arrays that free themselves,
// and one mining attempt through a row with its CPU replay.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "backends/backend_descriptor.h"
#include "backends/kernel_signal.h"
#include "core/gpu_api.h"
#include "hostgpu/inspect.h"

class AdaDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

template <typename T>
struct DeviceArray {
  T* ptr = nullptr;
  size_t count = 0;

  explicit DeviceArray(size_t n, unsigned char fill = 0) : count(n) {
    if (cudaMalloc(reinterpret_cast<void**>(&ptr), n * sizeof(T)) != cudaSuccess) ptr = nullptr;
    if (ptr) cudaMemset(ptr, fill, n * sizeof(T));
  }
  ~DeviceArray() { cudaFree(ptr); }
  DeviceArray(const DeviceArray&) = delete;
  DeviceArray& operator=(const DeviceArray&) = delete;

  void upload(const std::vector<T>& values) {
    cudaMemcpy(ptr, values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice);
  }
  std::vector<T> download() const {
    std::vector<T> values(count);
    cudaMemcpy(values.data(), ptr, count * sizeof(T), cudaMemcpyDeviceToHost);
    return values;
  }
};

// The most recent accepted launch (a null kernel when there was none).
hostgpu::inspect::LaunchRecord last_launch();

// The row forced by name, as --force-backend does.
const GpuBackendDescriptor& forced_row(const char* force_name);
const GpuBackendDescriptor& ada_row();

std::vector<uint32_t> all_ones_target();
std::vector<uint32_t> zero_target();
// About one digest in 16 meets it.
std::vector<uint32_t> one_in_sixteen_target();

struct AttemptShape {
  int m, n, k, rank;
};

// Fill, noise and mining of one attempt through a row's slots, on the
// default stream; the header is read after synchronising.
class MiningAttempt {
 public:
  explicit MiningAttempt(const AttemptShape& shape);
  ~MiningAttempt();
  MiningAttempt(const MiningAttempt&) = delete;
  MiningAttempt& operator=(const MiningAttempt&) = delete;

  // Slot 3 for B and A, then slot 4 (split rows).
  cudaError_t mine_split(const GpuBackendDescriptor& row, const std::vector<uint32_t>& target);
  // Slot 5.
  cudaError_t mine_fused(const GpuBackendDescriptor& row, const std::vector<uint32_t>& target);
  // Slot 6.
  cudaError_t mine_dump(const GpuBackendDescriptor& row, const std::vector<uint32_t>& target,
                        VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                        uint32_t* value_counts, int capacity);

  const HostSignalHeader& header() const { return *header_; }
  uint32_t extra_count() const { return extra_.download()[0]; }
  std::vector<int8_t> device_noised_a() const { return noised_a_.download(); }
  std::vector<int8_t> device_noised_b() const { return noised_b_.download(); }
  const std::vector<int8_t>& cpu_noised_a() const { return cpu_noised_a_; }
  const std::vector<int8_t>& cpu_noised_b() const { return cpu_noised_b_; }
  const std::vector<uint8_t>& seed_a() const { return seed_a_host_; }
  const AttemptShape& shape() const { return shape_; }

 private:
  cudaError_t prepare(const GpuBackendDescriptor& row, const std::vector<uint32_t>& target);

  AttemptShape shape_;
  std::vector<uint8_t> seed_a_host_;
  std::vector<uint8_t> seed_b_host_;
  std::vector<int8_t> cpu_noised_a_;
  std::vector<int8_t> cpu_noised_b_;
  DeviceArray<int8_t> a_, b_, a_left_, a_right_, b_right_, b_left_, noised_a_, noised_b_;
  DeviceArray<int16_t> a_index0_, a_index1_, b_index0_, b_index1_;
  DeviceArray<uint8_t> seed_a_, seed_b_;
  DeviceArray<uint32_t> target_;
  DeviceArray<uint32_t> extra_;
  DeviceArray<HostSignalSync> sync_;
  HostSignalHeader* header_ = nullptr;
};

// Mining thread t of a block keeps rows 64·((t / 32) mod 2) + t mod 32 and
// 32 below it, and the 64 columns from 64·(t / 64).
struct CandidateCells {
  std::vector<uint64_t> rows;  // within the tile
  std::vector<uint64_t> cols;
};
CandidateCells candidate_cells(int thread);

// The CPU transcript and keyed digest of thread `thread` of tile (tile_m, tile_n).
struct ThreadTranscript {
  uint32_t words[16];
  uint8_t digest[32];
};
ThreadTranscript cpu_thread_transcript(const MiningAttempt& attempt, uint32_t tile_m,
                                       uint32_t tile_n, int tile_width, int thread);
