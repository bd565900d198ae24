// The block's register file under setmaxnreg (hostgpu/register_file.h).
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "exec_block.h"
#include "exec_state.h"
#include "hostgpu/device_cluster.h"
#include "hostgpu/device_sync.h"
#include "hostgpu/register_file.h"

namespace hostgpu::registers {
namespace {

struct Adjustment {
  bool increase;
  unsigned count;
};

struct RegisterFile {
  unsigned pool = 0;
  std::vector<unsigned> per_thread;                 // by warp
  std::vector<std::vector<Adjustment>> adjustments;  // by warp, in order
};

const char file_key = 0;

std::string describe(const Adjustment& a) {
  return std::string(a.increase ? "setmaxnreg.inc " : "setmaxnreg.dec ") + std::to_string(a.count);
}

// What the kernel was compiled with, else the block's even share.
unsigned starting_registers(unsigned warps) {
  const int compiled = hostgpu::detail::execution_state().registers_per_thread;
  if (compiled > 0) return static_cast<unsigned>(compiled);
  const unsigned share = 65536u / (warps * 32u) / 8u * 8u;
  return share > 248 ? 248 : share;
}

RegisterFile& file_of(hostgpu::detail::BlockRun& block) {
  std::shared_ptr<void>& slot = block.object(&file_key);
  if (!slot) {
    auto file = std::make_shared<RegisterFile>();
    const unsigned warps = (block.thread_count() + 31) / 32;
    file->per_thread.assign(warps, starting_registers(warps));
    file->adjustments.resize(warps);
    slot = file;
  }
  return *static_cast<RegisterFile*>(slot.get());
}

}  // namespace

unsigned set_max_registers(bool increase, unsigned count) {
  hostgpu::detail::BlockRun* running = hostgpu::detail::running_block();
  if (running == nullptr) throw std::logic_error("setmaxnreg called outside a kernel");
  hostgpu::detail::BlockRun& block = *running;
  const Adjustment mine{increase, count};
  if (block.thread_count() % 128 != 0) hostgpu::detail::fault(describe(mine) + " in a block of partial warp groups");
  RegisterFile& file = file_of(block);
  const unsigned warp = block.running_thread() / 32;
  const unsigned current = file.per_thread[warp];
  if (increase ? count < current : count > current) {
    hostgpu::detail::fault(std::string(increase ? "setmaxnreg.inc" : "setmaxnreg.dec") + " to " +
                           std::to_string(count) + " registers from the warp's " + std::to_string(current));
  }
  // The warp group's four warps issue it together.
  const size_t index = file.adjustments[warp].size();
  file.adjustments[warp].push_back(mine);
  hostgpu::wait_state_changed();
  const unsigned first = warp / 4 * 4;
  hostgpu::wait_until([&] {
    for (unsigned w = first; w < first + 4; ++w) {
      if (file.adjustments[w].size() > index) {
        const Adjustment& theirs = file.adjustments[w][index];
        if (theirs.increase != increase || theirs.count != count) {
          hostgpu::detail::fault(describe(mine) + " by warp " + std::to_string(warp) + " meets " + describe(theirs) +
                                 " by warp " + std::to_string(w) + " of its warp group");
        }
      } else if (block.warp_returned(w)) {
        hostgpu::detail::fault(describe(mine) + " by warp " + std::to_string(warp) + ": warp " + std::to_string(w) +
                               " of its warp group returned without it");
      } else {
        return false;
      }
    }
    return true;
  }, "setmaxnreg by the other warps of its warp group");
  if (increase) {
    const unsigned needed = (count - current) * 32u;
    // Blocks until other warps have given back enough.
    hostgpu::wait_until([&file, needed] { return file.pool >= needed; },
                        "setmaxnreg.inc for registers other warps have not given back");
    file.pool -= needed;
  } else {
    file.pool += (current - count) * 32u;
    hostgpu::wait_state_changed();
  }
  file.per_thread[warp] = count;
  return current;
}

}  // namespace hostgpu::registers
