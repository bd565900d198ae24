#include "two_sm_fixture.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "backends/blackwell_mining_kernel.h"

void TwoSmTest::use_devices(const char* capability, int memory_mib) {
  std::string list;
  for (int d = 0; d < 4; ++d) {
    if (d) list += ";";
    list += std::string(capability) + ",Host Blackwell," + std::to_string(memory_mib) + ",148";
  }
  setenv("HOSTGPU_DEVICES", list.c_str(), 1);
  hostgpu::inspect::reinitialise();
  cudaSetDevice(0);
}

void TwoSmTest::defer_kernels(const char* capability) {
  setenv("HOSTGPU_STREAMS", "deferred", 1);
  use_devices(capability);
}

void TwoSmTest::SetUp() { use_devices("10.0"); }

void TwoSmTest::TearDown() {
  unsetenv("HOSTGPU_DEVICES");
  unsetenv("VEXAL_B200_LAUNCH_STAGGER_MS");
  unsetenv("HOSTGPU_STREAMS");
  hostgpu::inspect::reinitialise();
}

GpuBackendDescriptor test_row(LaunchHeadlessMine slot4, LaunchNoiseAndMine slot5) {
  GpuBackendDescriptor row{};
  row.name = "two_sm_test";
  row.launch_fill_int8 = vexal_blackwell::launch_fill_int8;
  row.launch_generate_noise = vexal_blackwell::launch_generate_noise;
  row.launch_apply_sparse_noise = vexal_blackwell::launch_apply_sparse_noise;
  row.launch_headless_mine = slot4;
  row.launch_noise_and_mine = slot5;
  return row;
}

MiningBuffers::MiningBuffers(int m, int n, int k, int rank)
    : a(size_t(m) * k),
      b(size_t(n) * k),
      a_left(size_t(m) * rank),
      b_left(size_t(n) * rank),
      a_right(size_t(rank) * k),
      b_right(size_t(rank) * k),
      noised_a(size_t(m) * k),
      noised_b(size_t(n) * k),
      a_i0(size_t(k)),
      a_i1(size_t(k)),
      b_i0(size_t(k)),
      b_i1(size_t(k)),
      sync(1),
      target(8),
      seed(8) {
  void* host = nullptr;
  cudaHostAlloc(&host, sizeof(HostSignalHeader), 0);
  header = static_cast<HostSignalHeader*>(host);
  if (header) std::memset(header, 0, sizeof(HostSignalHeader));
}

MiningBuffers::~MiningBuffers() { cudaFreeHost(header); }

bool first_cpu_hit(const MiningAttempt& attempt, const std::vector<uint32_t>& target,
                   CandidateKey* out) {
  const auto hits = [&target](const uint8_t digest[32]) {
    for (int w = 7; w >= 0; --w) {
      uint32_t word = 0;
      for (int b = 3; b >= 0; --b) word = word << 8 | digest[4 * w + b];
      if (word != target[w]) return word < target[w];
    }
    return true;
  };
  const uint32_t tiles_m = uint32_t(attempt.shape().m / 128);
  const uint32_t tiles_n = uint32_t(attempt.shape().n / 128);
  for (uint32_t tn = 0; tn < tiles_n; ++tn) {
    for (uint32_t tm = 0; tm < tiles_m; ++tm) {
      for (int t = 0; t < 128; ++t) {
        const ThreadTranscript cpu = cpu_thread_transcript(attempt, tm, tn, t);
        if (!hits(cpu.digest)) continue;
        *out = CandidateKey{tm, tn, t, cpu};
        return true;
      }
    }
  }
  return false;
}

void expect_candidate(const HostSignalHeader& h, const CandidateKey& expected) {
  ASSERT_EQ(h.status, 1u);
  EXPECT_EQ(h.tile_m_index, expected.tile_m);
  EXPECT_EQ(h.tile_n_index, expected.tile_n);
  EXPECT_EQ(h.candidate_thread, expected.thread);
  EXPECT_EQ(0, std::memcmp(h.transcript, expected.transcript.words, 64));
  EXPECT_EQ(0, std::memcmp(h.kernel_hash, expected.transcript.digest, 32));
}

void expect_cluster_launch(const void* kernel, unsigned shared_bytes) {
  const auto launch = last_launch();
  EXPECT_EQ(launch.kernel, kernel);
  EXPECT_EQ(launch.grid.x, 2u);
  EXPECT_EQ(launch.grid.y, 2u);
  EXPECT_EQ(launch.cluster.x, 2u);
  EXPECT_EQ(launch.cluster.y, 2u);
  EXPECT_EQ(launch.cluster.z, 1u);
  EXPECT_EQ(launch.block.x, 128u);
  EXPECT_EQ(launch.dynamic_shared_bytes, shared_bytes);
  const auto attributes = hostgpu::inspect::kernel_attributes(kernel, 0);
  EXPECT_EQ(attributes.max_dynamic_shared_bytes, static_cast<int>(shared_bytes));
  EXPECT_EQ(attributes.preferred_carveout, 100);
  EXPECT_EQ(attributes.non_portable_cluster_size_allowed, 1);
}
