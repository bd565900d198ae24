#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "core/log.h"
#include "engine/miner_state.h"
#include "host_device_fixture.h"

namespace {

class WorkspaceBuilderTest : public HostDeviceTest {
 protected:
  void SetUp() override {
    configure("8.6,Host GPU,1024,8");
    log_color_mode = ColorMode::Never;
    Config pick;
    pick.force_backend = "cmp170hx-dp2a";
    row_ = &select_backend(pick, cudaDeviceProp{});
  }

  static Config shape(int32_t m, int32_t n, int32_t k, int32_t rank) {
    Config config;
    config.dry_run = true;
    config.m = m;
    config.n = n;
    config.k = k;
    config.rank = rank;
    return config;
  }

  std::string refusal(MinerState& state, const Config& wanted) {
    try {
      ensure_workspace(state, wanted, "startup");
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }

  const GpuBackendDescriptor* row_ = nullptr;
};

TEST_F(WorkspaceBuilderTest, DebugDumpSizesAndRefusals) {
  Config config = shape(256, 256, 128, 128);
  config.debug_dump = true;
  MinerState state(config, 0);
  state.row = row_;
  EXPECT_EQ(refusal(state, shape(131072, 131072, 4096, 128)),
            "--debug-dump buffer would exceed 1.5 GiB; use a smaller fixture such as --m 2048 "
            "--n 2048 --k 1024 --rank 128");
  EXPECT_EQ(refusal(state, shape(1000, 256, 128, 128)),
            "--debug-dump requires m,n multiples of 128, k multiple of rank, and rank multiple "
            "of 64");
  EXPECT_EQ(refusal(state, shape(256, 256, 4096, 96)), "unsupported mining k/rank shape");
  EXPECT_EQ(state.workspace, nullptr);
  EXPECT_EQ(hostgpu::inspect::device_bytes_in_use(0), 0u);

  testing::internal::CaptureStdout();
  EXPECT_EQ(refusal(state, shape(256, 256, 128, 128)), "");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(state.dump_entries, 16 * 512);
  EXPECT_EQ(state.dump_values, 16 * 65536);
  EXPECT_EQ(state.dump_entry_buffer.count(), 16u * 512);
  EXPECT_EQ(state.dump_value_buffer.count(), 16u * 65536);
  EXPECT_EQ(state.dump_count_buffer.count(), 16u * 65536);
  EXPECT_EQ(state.rank_steps, 1);
}

TEST_F(WorkspaceBuilderTest, RebuildsReplaceTheWorkspaceAndRefusalsKeepTheOldOne) {
  MinerState state(shape(256, 256, 256, 64), 0);
  state.row = row_;
  testing::internal::CaptureStdout();
  ensure_workspace(state, state.config, "startup");
  const DeviceWorkspace* first = state.workspace.get();
  ensure_workspace(state, state.config, "pool_profile_change");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("component=miner workspace_ready reason=startup profile_m=256 "
                     "profile_n=256 profile_k=256 rank=64 estimated_vram_bytes=2855403520\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("workspace_ready reason=pool_profile_change"), std::string::npos);
  EXPECT_NE(state.workspace.get(), first);
  EXPECT_EQ(state.dump_entry_buffer.data(), nullptr);
  // In a dry run no snapshot is taken.
  EXPECT_EQ(state.workspace->a_snapshot.data, nullptr);

  const DeviceWorkspace* kept = state.workspace.get();
  EXPECT_NE(refusal(state, shape(200, 256, 256, 64)).find("m must be a multiple of 128"),
            std::string::npos);
  EXPECT_EQ(state.workspace.get(), kept);
  EXPECT_EQ(state.config.m, 256);

  // Each matrix is hashed with its own leaf-block count.
  ensure_workspace(state, shape(128, 131072, 1024, 64), "pool_profile_change");
  EXPECT_EQ(state.a_hash_blocks, 1u);
  EXPECT_EQ(state.b_hash_blocks, 512u);
  EXPECT_EQ(state.workspace->a_block_roots.count, 512u * 32);
}

}  // namespace
