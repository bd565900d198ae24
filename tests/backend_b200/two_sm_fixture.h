#pragma once
// Four capability 10.x host devices, the buffers of one mining call, a row
// made of the common slots and a unit's mining slots, and timing helpers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "backends/backend_descriptor.h"
#include "backends/kernel_signal.h"
#include "device_fixture.h"
#include "mining_attempt.h"

class TwoSmTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A device list of the given capability ("10.0" or "10.3"), device 0 current.
  static void use_devices(const char* capability, int memory_mib = 4096);
  // Launches only enqueue (kernels run at synchronisation), so that a launcher's
  // own time can be measured.
  static void defer_kernels(const char* capability);
};

// Slots 1 and 2 from the blackwell unit (the same common family), 4 and 5 as given.
GpuBackendDescriptor test_row(LaunchHeadlessMine slot4, LaunchNoiseAndMine slot5);

// Everything slots 4 and 5 take, zeroed, for an m x k A and n x k B.
struct MiningBuffers {
  MiningBuffers(int m, int n, int k, int rank);
  ~MiningBuffers();
  DeviceArray<int8_t> a, b, a_left, b_left, a_right, b_right, noised_a, noised_b;
  DeviceArray<int16_t> a_i0, a_i1, b_i0, b_i1;
  DeviceArray<HostSignalSync> sync;
  DeviceArray<uint32_t> target, seed;
  HostSignalHeader* header = nullptr;
};

// Milliseconds a call takes.
template <typename Call>
double elapsed_ms(Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The lowest-key CPU candidate that meets the target over 128 x 128 tiles,
// or false when none does.
struct CandidateKey {
  uint32_t tile_m, tile_n;
  int thread;
  ThreadTranscript transcript;
};
bool first_cpu_hit(const MiningAttempt& attempt, const std::vector<uint32_t>& target,
                   CandidateKey* out);

// The candidate reported in `h` is `expected`: its key, transcript and digest.
void expect_candidate(const HostSignalHeader& h, const CandidateKey& expected);

// The last launch ran `kernel` over one 2 x 2 cluster grid of 128-thread
// blocks with `shared_bytes` of dynamic shared memory, which the kernel's
// attributes allow, and with non-portable cluster sizes allowed.
void expect_cluster_launch(const void* kernel, unsigned shared_bytes);
