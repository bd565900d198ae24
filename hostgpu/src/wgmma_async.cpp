// Warp-group MMAs in flight (hostgpu/wgmma.h), kept with each block: per
// thread its accumulator arrays and groups, per warp the operand bytes its
// MMAs read.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "exec_block.h"
#include "exec_cluster.h"
#include "hostgpu/device_sync.h"
#include "hostgpu/wgmma.h"

namespace hostgpu::wgmma {
namespace {

constexpr uint32_t kPoisonWord = 0xA5A5A5A5u;

struct Accumulator {
  uint32_t* registers = nullptr;
  std::vector<uint32_t> written;          // what the stand-in last left in them
  unsigned long long fences_at_write = 0;  // the thread's fences when it did
  bool in_flight = false;
  uint64_t group = 0;                      // of the last MMA on them
  std::vector<uint32_t> product;           // theirs once the MMAs in flight retire
};

struct ThreadState {
  unsigned long long fences = 0;
  uint64_t open_group = 0;
  std::vector<Accumulator> accumulators;
};

struct HeldOperands {
  uint64_t group;
  std::vector<const unsigned char*> units;
  std::vector<unsigned char> bytes;  // 16 per unit, as issued
};

struct BlockState {
  std::vector<ThreadState> threads;
  std::vector<std::deque<HeldOperands>> warps;
};

const char state_key = 0;

hostgpu::detail::BlockRun& running(const char* what) {
  hostgpu::detail::BlockRun* block = hostgpu::detail::running_block();
  if (block == nullptr) throw std::logic_error(std::string(what) + " called outside a kernel");
  return *block;
}

BlockState& state_of(hostgpu::detail::BlockRun& block) {
  std::shared_ptr<void>& slot = block.object(&state_key);
  if (!slot) {
    auto made = std::make_shared<BlockState>();
    made->threads.resize(block.thread_count());
    made->warps.resize((block.thread_count() + 31) / 32);
    slot = made;
  }
  return *static_cast<BlockState*>(slot.get());
}

Accumulator& accumulator(ThreadState& thread, uint32_t* registers) {
  for (Accumulator& a : thread.accumulators) {
    if (a.registers == registers) return a;
  }
  thread.accumulators.emplace_back();
  thread.accumulators.back().registers = registers;
  return thread.accumulators.back();
}

bool unchanged(const Accumulator& a, unsigned count) {
  return a.written.size() == count && std::memcmp(a.written.data(), a.registers, count * sizeof(uint32_t)) == 0;
}

std::string hex(const void* address) {
  char text[32];
  std::snprintf(text, sizeof(text), "%p", address);
  return text;
}

// The warp's operands of the retired groups must be as they were at issue.
void release_operands(std::deque<HeldOperands>& held, uint64_t retired_below) {
  while (!held.empty() && held.front().group < retired_below) {
    const HeldOperands& front = held.front();
    for (size_t u = 0; u < front.units.size(); ++u) {
      for (size_t b = 0; b < 16; ++b) {
        if (front.units[u][b] != front.bytes[16 * u + b]) {
          hostgpu::detail::fault("wgmma: its operand byte at shared address " + hex(front.units[u] + b) +
                                 " changed between the MMA's issue and the wgmma.wait_group that retired it");
        }
      }
    }
    held.pop_front();
  }
}

}  // namespace

const uint32_t* mma_input(uint32_t* registers, unsigned count) {
  hostgpu::detail::BlockRun& block = running("wgmma.mma_async");
  ThreadState& thread = state_of(block).threads[block.running_thread()];
  Accumulator& a = accumulator(thread, registers);
  if (a.in_flight) {
    if (!unchanged(a, count)) {
      hostgpu::detail::fault("wgmma: accumulator registers written while an MMA on them is in flight");
    }
    return a.product.data();
  }
  if (!unchanged(a, count) && thread.fences <= a.fences_at_write) {
    hostgpu::detail::fault(a.written.empty()
                               ? "wgmma.mma_async with no wgmma.fence before the thread's first MMA on its registers"
                               : "wgmma.mma_async after a write to its accumulator registers with no wgmma.fence "
                                 "between them");
  }
  return registers;
}

void mma_issued(uint32_t* registers, const uint32_t* product, unsigned count, const unsigned char* const* units,
                size_t unit_count) {
  hostgpu::detail::BlockRun& block = running("wgmma.mma_async");
  BlockState& state = state_of(block);
  ThreadState& thread = state.threads[block.running_thread()];
  Accumulator& a = accumulator(thread, registers);
  a.group = thread.open_group;
  a.fences_at_write = thread.fences;
  if (block.cluster().settings().late_mma) {
    a.product.assign(product, product + count);
    a.written.assign(count, kPoisonWord);
    a.in_flight = true;
  } else {
    a.written.assign(product, product + count);
  }
  std::copy(a.written.begin(), a.written.end(), registers);
  if (units != nullptr) {
    HeldOperands held{thread.open_group, std::vector<const unsigned char*>(units, units + unit_count), {}};
    held.bytes.reserve(16 * unit_count);
    for (size_t u = 0; u < unit_count; ++u) held.bytes.insert(held.bytes.end(), units[u], units[u] + 16);
    state.warps[block.running_thread() / 32].push_back(std::move(held));
  }
}

void fence() {
  hostgpu::detail::BlockRun& block = running("wgmma.fence");
  ++state_of(block).threads[block.running_thread()].fences;
}

void commit_group() {
  hostgpu::detail::BlockRun& block = running("wgmma.commit_group");
  ++state_of(block).threads[block.running_thread()].open_group;
}

void wait_group(unsigned pending) {
  hostgpu::detail::BlockRun& block = running("wgmma.wait_group");
  BlockState& state = state_of(block);
  ThreadState& thread = state.threads[block.running_thread()];
  if (thread.open_group < pending) return;
  const uint64_t retired_below = thread.open_group - pending;  // groups below it are complete
  for (Accumulator& a : thread.accumulators) {
    if (!a.in_flight || a.group >= retired_below) continue;
    if (!unchanged(a, static_cast<unsigned>(a.written.size()))) {
      hostgpu::detail::fault("wgmma: accumulator registers written while an MMA on them is in flight");
    }
    a.written = a.product;
    a.fences_at_write = thread.fences;
    a.in_flight = false;
    std::copy(a.written.begin(), a.written.end(), a.registers);
  }
  if (block.running_thread() % 32 == 0) release_operands(state.warps[block.running_thread() / 32], retired_below);
}

}  // namespace hostgpu::wgmma
