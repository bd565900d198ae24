#include "exec_async_copy.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "exec_block.h"
#include "exec_cluster.h"
#include "exec_settings.h"
#include "hostgpu/device_async_copy.h"

namespace hostgpu::detail {
namespace {

BlockRun& require_running_block(const char* what) {
  BlockRun* block = running_block();
  if (block == nullptr) throw std::logic_error(std::string(what) + " called outside a kernel");
  return *block;
}

bool aligned(const void* address, unsigned bytes) { return reinterpret_cast<uintptr_t>(address) % bytes == 0; }

}  // namespace

std::string AsyncCopyQueue::enqueue(void* destination, const void* source, unsigned total_bytes,
                                    unsigned source_bytes) {
  if (total_bytes != 4 && total_bytes != 8 && total_bytes != 16) {
    return "asynchronous copy of " + std::to_string(total_bytes) + " bytes (4, 8 or 16 are possible)";
  }
  if (source_bytes > total_bytes) {
    return "asynchronous copy reading " + std::to_string(source_bytes) + " source bytes into " +
           std::to_string(total_bytes);
  }
  if (!aligned(destination, total_bytes) || (source_bytes > 0 && !aligned(source, total_bytes))) {
    return "asynchronous copy of " + std::to_string(total_bytes) + " bytes at a misaligned address";
  }
  Copy copy{static_cast<unsigned char*>(destination), total_bytes, {}};
  if (source_bytes > 0) std::memcpy(copy.data, source, source_bytes);
  uncommitted_.push_back(copy);
  return {};
}

void AsyncCopyQueue::commit() {
  committed_.push_back(std::move(uncommitted_));
  uncommitted_.clear();
}

void AsyncCopyQueue::wait(unsigned pending_groups) {
  while (committed_.size() > pending_groups) {
    land(committed_.front());
    committed_.pop_front();
  }
}

void AsyncCopyQueue::complete_all() {
  commit();
  wait(0);
}

void AsyncCopyQueue::land(const std::vector<Copy>& group) {
  for (const Copy& copy : group) std::memcpy(copy.destination, copy.data, copy.bytes);
}

void async_copy(void* destination, const void* source, unsigned total_bytes, unsigned source_bytes) {
  BlockRun& block = require_running_block("an asynchronous copy");
  const std::string refusal = block.running_async_copies().enqueue(destination, source, total_bytes, source_bytes);
  if (!refusal.empty()) block.fail(refusal);
  // Until its group's wait the destination holds what the GPU leaves there: anything.
  if (block.cluster().settings().poison) std::memset(destination, poison_byte, total_bytes);
}

void async_copy_commit() { require_running_block("an asynchronous copy commit").running_async_copies().commit(); }

void async_copy_wait(unsigned pending_groups) {
  require_running_block("an asynchronous copy wait").running_async_copies().wait(pending_groups);
}

void async_copy_wait_all() {
  require_running_block("an asynchronous copy wait").running_async_copies().complete_all();
}

}  // namespace hostgpu::detail
