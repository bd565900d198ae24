// The native-exact debug launchers: argument checks, launch shapes, and the
// three kernels' folds and transcripts against a direct CPU computation.
#include <cstdlib>
#include <string>
#include <vector>

#include "backends/blackwell_native_exact_kernel.h"
#include "device_fixture.h"

namespace {

namespace exact = vexal_blackwell_native_exact;

class NativeExactLaunchersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HOSTGPU_DEVICES", "12.0,Host RTX 5090,4096,8", 1);
    hostgpu::inspect::reinitialise();
  }
  void TearDown() override {
    unsetenv("HOSTGPU_DEVICES");
    hostgpu::inspect::reinitialise();
  }
};

uint32_t rotl13(uint32_t w) { return (w << 13) | (w >> 19); }

std::vector<int8_t> pattern(size_t count, uint32_t salt) {
  std::vector<int8_t> values(count);
  uint32_t state = salt * 2654435761u + 1;
  for (int8_t& v : values) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<int8_t>(state >> 24);
  }
  return values;
}

// Candidate c's fold over [k0, k0 + 128) of tile (tile_row, tile_col).
uint32_t cpu_fold(const std::vector<int8_t>& a, const std::vector<int8_t>& b, int k, int tile_row,
                  int tile_col, int c, int k0) {
  uint32_t fold = 0;
  for (int cell = 0; cell < 128; ++cell) {
    const size_t r = size_t(tile_row) * 128 + 64 * ((c / 32) % 2) + c % 32 + 32 * (cell / 64);
    const size_t j = size_t(tile_col) * 256 + 64 * (c / 64) + cell % 64;
    int32_t sum = 0;
    for (int t = k0; t < k0 + 128; ++t) sum += int32_t(a[r * k + t]) * b[j * k + t];
    fold ^= uint32_t(sum);
  }
  return fold;
}

struct ExactBuffers {
  DeviceArray<int8_t> a, b;
  DeviceArray<uint32_t> transcript_in, hashes, transcript_out;
  ExactBuffers(const std::vector<int8_t>& ha, const std::vector<int8_t>& hb,
               const std::vector<uint32_t>& tin)
      : a(ha), b(hb), transcript_in(tin), hashes(256), transcript_out(256 * 16) {}
};

std::vector<uint32_t> start_transcript() {
  std::vector<uint32_t> words(256 * 16);
  for (size_t j = 0; j < words.size(); ++j) words[j] = 0x9E3779B9u + uint32_t(j) * 0x045D9F3Bu;
  return words;
}

TEST_F(NativeExactLaunchersTest, ArgumentChecksRefuseBeforeLaunching) {
  struct Case {
    const char* what;
    int m, n, k, tile_row, tile_col, k_offset, step;
    bool null_hashes;
    cudaError_t result;
  };
  const Case cases[] = {
      {"smallest", 128, 256, 128, 0, 0, 0, 3, false, cudaSuccess},
      {"last window of 4096", 128, 256, 4096, 0, 0, 3968, 3, false, cudaSuccess},
      {"second tile row", 256, 256, 128, 1, 0, 0, 3, false, cudaSuccess},
      {"null hashes", 128, 256, 128, 0, 0, 0, 3, true, cudaErrorInvalidValue},
      {"m 0", 0, 256, 128, 0, 0, 0, 3, false, cudaErrorInvalidValue},
      {"k 192", 128, 256, 192, 0, 0, 0, 3, false, cudaErrorInvalidValue},
      {"window past k", 128, 256, 256, 0, 0, 129, 3, false, cudaErrorInvalidValue},
      {"negative offset", 128, 256, 128, 0, 0, -1, 3, false, cudaErrorInvalidValue},
      {"negative tile", 128, 256, 128, -1, 0, 0, 3, false, cudaErrorInvalidValue},
      {"m 127", 127, 256, 128, 0, 0, 0, 3, false, cudaErrorInvalidValue},
      {"n 255", 128, 255, 128, 0, 0, 0, 3, false, cudaErrorInvalidValue},
      {"tile col past n", 128, 256, 128, 0, 1, 0, 3, false, cudaErrorInvalidValue},
      {"negative step", 128, 256, 128, 0, 0, 0, -1, false, cudaErrorInvalidValue},
  };
  ExactBuffers f(pattern(256 * 4096, 1), pattern(256 * 4096, 2), start_transcript());
  for (const Case& c : cases) {
    for (int owner = 0; owner < 2; ++owner) {
      SCOPED_TRACE(std::string(c.what) + (owner ? " (owner)" : ""));
      TearDown();
      SetUp();
      ExactBuffers g(pattern(256 * 4096, 1), pattern(256 * 4096, 2), start_transcript());
      const auto launcher = owner ? exact::launch_owner_debug_rank_tile : exact::launch_debug_rank_tile;
      EXPECT_EQ(launcher(g.a.ptr, g.b.ptr, g.transcript_in.ptr, c.null_hashes ? nullptr : g.hashes.ptr,
                         g.transcript_out.ptr, c.m, c.n, c.k, c.tile_row, c.tile_col, c.k_offset,
                         c.step, nullptr),
                c.result);
      if (c.result == cudaSuccess) {
        EXPECT_EQ(last_launch().grid.x, owner ? 256u : 1u);
        EXPECT_EQ(last_launch().block.x, owner ? 128u : 256u);
        EXPECT_EQ(last_launch().dynamic_shared_bytes, 0u);
      } else {
        EXPECT_EQ(last_launch().kernel, nullptr);
      }
      EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    }
  }
  // The full-tile launcher has no window or step to check.
  EXPECT_EQ(exact::launch_owner_debug_full_tile(f.a.ptr, f.b.ptr, f.transcript_in.ptr, f.hashes.ptr,
                                                f.transcript_out.ptr, 128, 256, 192, 0, 0, nullptr),
            cudaErrorInvalidValue);
  EXPECT_EQ(exact::launch_owner_debug_full_tile(f.a.ptr, f.b.ptr, nullptr, f.hashes.ptr,
                                                f.transcript_out.ptr, 128, 256, 256, 0, 0, nullptr),
            cudaErrorInvalidValue);
}

TEST_F(NativeExactLaunchersTest, RankStepsAndFullTileMatchTheCpuOnAnInnerTile) {
  // Tile (1, 1) of a 256 x 512 problem, k = 256: two rank steps.
  const int k = 256;
  const std::vector<int8_t> a = pattern(size_t(256) * k, 3);
  const std::vector<int8_t> b = pattern(size_t(512) * k, 4);
  const std::vector<uint32_t> start = start_transcript();
  std::vector<uint32_t> cpu_hash(256), cpu_step(start), cpu_full(start), cpu_aggregate(256, 0);
  for (int c = 0; c < 256; ++c) {
    for (int s = 0; s < 2; ++s) {
      const uint32_t fold = cpu_fold(a, b, k, 1, 1, c, s * 128);
      if (s == 1) {
        cpu_hash[c] = fold;
        uint32_t& w = cpu_step[size_t(c) * 16 + 19 % 16];
        w = fold ^ rotl13(w);
      }
      cpu_aggregate[c] ^= fold;
      uint32_t& w = cpu_full[size_t(c) * 16 + s];
      w = fold ^ rotl13(w);
    }
  }
  ExactBuffers single(a, b, start), owner(a, b, start), full(a, b, start);
  ASSERT_EQ(exact::launch_debug_rank_tile(single.a.ptr, single.b.ptr, single.transcript_in.ptr,
                                          single.hashes.ptr, single.transcript_out.ptr, 256, 512, k,
                                          1, 1, 128, 19, nullptr),
            cudaSuccess);
  ASSERT_EQ(exact::launch_owner_debug_rank_tile(owner.a.ptr, owner.b.ptr, owner.transcript_in.ptr,
                                                owner.hashes.ptr, owner.transcript_out.ptr, 256, 512,
                                                k, 1, 1, 128, 19, nullptr),
            cudaSuccess);
  ASSERT_EQ(exact::launch_owner_debug_full_tile(full.a.ptr, full.b.ptr, full.transcript_in.ptr,
                                                full.hashes.ptr, full.transcript_out.ptr, 256, 512, k,
                                                1, 1, nullptr),
            cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(single.hashes.download(), cpu_hash);
  EXPECT_EQ(single.transcript_out.download(), cpu_step);
  EXPECT_EQ(owner.hashes.download(), cpu_hash);
  EXPECT_EQ(owner.transcript_out.download(), cpu_step);
  EXPECT_EQ(full.hashes.download(), cpu_aggregate);
  EXPECT_EQ(full.transcript_out.download(), cpu_full);
  EXPECT_EQ(single.transcript_in.download(), start);  // read only
}

}  // namespace
