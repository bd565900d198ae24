// The running thread's synchronisation events (device_thread_sync.h).
#include <stdexcept>
#include <string>

#include "exec_block.h"
#include "hostgpu/device_thread_sync.h"

namespace hostgpu::detail {
namespace {

BlockRun& require_block(const char* what) {
  BlockRun* block = running_block();
  if (block == nullptr) throw std::logic_error(std::string(what) + " called outside a kernel");
  return *block;
}

}  // namespace

unsigned long long thread_sync_waits() { return require_block("a barrier wait count").sync_waits(); }

void thread_sync_wait_passed() { require_block("an mbarrier wait").passed_sync_wait(); }

void thread_sync_signal(const char* how) { require_block(how).signal_sync(how); }

void hold_unfenced_work(const char* what) { require_block("asynchronous work").hold_unfenced(what); }

}  // namespace hostgpu::detail
