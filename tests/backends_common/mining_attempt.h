#pragma once
// One mining attempt through a backend row on the host device, with the same
// attempt replayed on the CPU from the fill and noise references.
#include <cstdint>
#include <vector>

#include "backends/backend_descriptor.h"
#include "backends/kernel_signal.h"
#include "device_fixture.h"
#include "engine/cpu_operand_reference.h"

struct AttemptShape {
  int m, n, k, rank;
};

// The row forced by name, as --force-backend does.
const GpuBackendDescriptor& forced_row(const char* force_name);

// All-ones, zero, and a target about one digest in 16 meets.
std::vector<uint32_t> all_ones_target();
std::vector<uint32_t> zero_target();
std::vector<uint32_t> one_in_sixteen_target();

class MiningAttempt {
 public:
  // spare_a_rows: zero rows of A' past its m rows, which a block mining
  // beyond m would read instead of whatever memory lies there.
  explicit MiningAttempt(const AttemptShape& shape, int spare_a_rows = 0);
  ~MiningAttempt();
  MiningAttempt(const MiningAttempt&) = delete;
  MiningAttempt& operator=(const MiningAttempt&) = delete;

  // Fills, generates the noise (unless the row's fill and noise slots already
  // did for this attempt) and runs slot 5 through the row; returns the
  // slot's result (the header is read after synchronising).
  cudaError_t mine(const GpuBackendDescriptor& row, const std::vector<uint32_t>& target);
  // The same with the transcripts' digests keyed with `digest_key` (32 bytes)
  // instead of the A noise seed: the kernels take the key as an argument, so
  // one set of transcripts serves any number of keys.
  cudaError_t mine(const GpuBackendDescriptor& row, const std::vector<uint32_t>& target,
                   const std::vector<uint8_t>& digest_key);
  // The same with slot 6 and these dump buffers.
  cudaError_t mine_with_dump(const GpuBackendDescriptor& row, const std::vector<uint32_t>& target,
                             VexalHeadlessJackpotDumpEntry* entries, int32_t* values,
                             uint32_t* value_counts, int capacity);

  const HostSignalHeader& header() const { return *header_; }
  std::vector<int8_t> device_noised_a() const;  // its m rows
  std::vector<int8_t> device_noised_b() const { return noised_b_.download(); }

  // The CPU attempt.
  const std::vector<int8_t>& cpu_noised_a() const { return cpu_noised_a_; }
  const std::vector<int8_t>& cpu_noised_b() const { return cpu_noised_b_; }
  const std::vector<uint8_t>& seed_a() const { return seed_a_host_; }
  const AttemptShape& shape() const { return shape_; }

  // Rows of A' and B' (k bytes each) of the listed global indices.
  std::vector<int8_t> a_rows(const std::vector<uint64_t>& rows) const;
  std::vector<int8_t> b_rows(const std::vector<uint64_t>& cols) const;

 private:
  cudaError_t prepare(const GpuBackendDescriptor& row, const std::vector<uint32_t>& target);

  AttemptShape shape_;
  std::vector<uint8_t> seed_a_host_;
  std::vector<uint8_t> seed_b_host_;
  std::vector<int8_t> cpu_noised_a_;
  std::vector<int8_t> cpu_noised_b_;
  DeviceArray<int8_t> a_, b_, a_left_, a_right_, b_right_, b_left_, noised_a_, noised_b_;
  DeviceArray<int16_t> a_index0_, a_index1_, b_index0_, b_index1_;
  DeviceArray<uint8_t> seed_a_, seed_b_, digest_key_;
  DeviceArray<uint32_t> target_;
  DeviceArray<uint32_t> extra_;
  DeviceArray<HostSignalSync> sync_;
  HostSignalHeader* header_ = nullptr;
  // The slots whose fill and noise A, B and the factors hold.
  LaunchFillInt8 prepared_fill_ = nullptr;
  LaunchGenerateNoise prepared_noise_ = nullptr;
};

// The CPU transcript and its keyed digest for thread `thread` of tile
// (tile_m, tile_n), in the thread layout the diagnostics replay.
struct ThreadTranscript {
  uint32_t words[16];
  uint8_t digest[32];
};
ThreadTranscript cpu_thread_transcript(const MiningAttempt& attempt, uint32_t tile_m, uint32_t tile_n,
                                       int thread);

// After mining under an all-ones target every digest hits, so the lowest key,
// thread 0 of tile (0, 0), must be reported with the CPU noise, the CPU
// transcript and its 128 opened pairs.
void expect_first_thread_of_first_tile(const MiningAttempt& attempt);
