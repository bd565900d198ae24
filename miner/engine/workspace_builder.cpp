#include <memory>
#include <stdexcept>
#include <string>

#include "core/cuda_check.h"
#include "core/log.h"
#include "engine/mining_shape.h"
#include "engine/miner_state.h"

namespace {

constexpr double kMaxDumpBytes = 1610612736.0;  // 1.5 GiB

struct DumpSizes {
  int64_t entries = 0;
  int64_t values = 0;
  double bytes = 0;
};

// The jackpot dump's sizes for the shape, or its refusal.
DumpSizes checked_dump_sizes(const Config& shape) {
  const int64_t steps = shape.k / shape.rank;
  const int64_t tiles = ((static_cast<int64_t>(shape.m) + 63) / 64) *
                        ((static_cast<int64_t>(shape.n) + 63) / 64) * steps;
  if (shape.m % 128 != 0 || shape.n % 128 != 0 || shape.rank % 64 != 0 || steps < 1) {
    throw std::runtime_error(
        "--debug-dump requires m,n multiples of 128, k multiple of rank, and rank multiple of 64");
  }
  DumpSizes sizes;
  sizes.entries = tiles * 512;
  sizes.values = tiles * 65536;
  sizes.bytes = static_cast<double>(sizes.entries) * 28.0 + static_cast<double>(sizes.values) * 8.0;
  if (sizes.bytes > kMaxDumpBytes) {
    throw std::runtime_error(
        "--debug-dump buffer would exceed 1.5 GiB; use a smaller fixture such as --m 2048 --n "
        "2048 --k 1024 --rank 128");
  }
  return sizes;
}

void replace_dump_buffers(MinerState& state, const DumpSizes& sizes) {
  if (!state.config.debug_dump) {
    state.dump_entries = 0;
    state.dump_values = 0;
    state.dump_entry_buffer.reset();
    state.dump_value_buffer.reset();
    state.dump_count_buffer.reset();
    return;
  }
  log_line(LogLevel::Debug, "debug",
           "jackpot_debug_dump entries=" + std::to_string(sizes.entries) +
               " values=" + std::to_string(sizes.values) +
               " bytes=" + std::to_string(static_cast<uint64_t>(sizes.bytes)) +
               " target=all_ones dry_run=true");
  const uint64_t entries = static_cast<uint64_t>(sizes.entries);
  const uint64_t values = static_cast<uint64_t>(sizes.values);
  state.dump_entry_buffer = OwnedDeviceBuffer<VexalHeadlessJackpotDumpEntry>(
      allocate_device_buffer<VexalHeadlessJackpotDumpEntry>(entries, "cudaMalloc"));
  state.dump_value_buffer =
      OwnedDeviceBuffer<int32_t>(allocate_device_buffer<int32_t>(values, "cudaMalloc"));
  state.dump_count_buffer =
      OwnedDeviceBuffer<uint32_t>(allocate_device_buffer<uint32_t>(values, "cudaMalloc"));
  state.dump_entries = sizes.entries;
  state.dump_values = sizes.values;
}

}  // namespace

void ensure_workspace(MinerState& state, const Config& shape, const char* reason) {
  // Queued proofs finish before the buffers they were built from go.
  if (state.submitter && state.workspace) state.submitter->wait_until_idle();
  if (shape.rank < 1 || shape.k < 1 || shape.k % shape.rank != 0) {
    throw std::runtime_error("unsupported mining k/rank shape");
  }
  DumpSizes dump;
  if (state.config.debug_dump) dump = checked_dump_sizes(shape);
  check_mining_shape(shape, *state.row);
  if (state.workspace) {
    // A proof or kernel still reading the old buffers must finish first.
    check_cuda(cudaDeviceSynchronize(), "workspace rebuild synchronize");
  }
  state.config.m = shape.m;
  state.config.n = shape.n;
  state.config.k = shape.k;
  state.config.rank = shape.rank;
  state.a_hash_blocks = tensor_hash_blocks(shape.m, shape.k);
  state.b_hash_blocks = tensor_hash_blocks(shape.n, shape.k);
  state.rank_steps = shape.k / shape.rank;
  replace_dump_buffers(state, dump);

  auto rebuilt =
      std::make_unique<DeviceWorkspace>(state.config, *state.row, workspace_wants_snapshots(state));
  state.workspace = std::move(rebuilt);
  log_info("miner", std::string("workspace_ready reason=") + reason +
                        " profile_m=" + std::to_string(shape.m) +
                        " profile_n=" + std::to_string(shape.n) +
                        " profile_k=" + std::to_string(shape.k) +
                        " rank=" + std::to_string(shape.rank) +
                        " estimated_vram_bytes=2855403520");
}
