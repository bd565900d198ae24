#include "exec_fiber_stack.h"

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace hostgpu::detail {
namespace {

size_t guard_bytes() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

}  // namespace

FiberStackPool::~FiberStackPool() {
  for (void* top : free_tops_) {
    char* base = static_cast<char*>(top) - fiber_stack_bytes - guard_bytes();
    munmap(base, fiber_stack_bytes + guard_bytes());
  }
}

boost::context::stack_context FiberStackPool::allocate() {
  boost::context::stack_context stack;
  stack.size = fiber_stack_bytes;
  if (!free_tops_.empty()) {
    stack.sp = free_tops_.back();
    free_tops_.pop_back();
    // The last fiber's final frames never returned; their red zones must
    // not fault the next fiber (no-op unless built with AddressSanitizer).
    ASAN_UNPOISON_MEMORY_REGION(static_cast<char*>(stack.sp) - fiber_stack_bytes, fiber_stack_bytes);
    return stack;
  }
  const size_t total = fiber_stack_bytes + guard_bytes();
  void* base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                    -1, 0);
  if (base == MAP_FAILED) {
    throw std::runtime_error(std::string("map a fiber stack: ") + std::strerror(errno));
  }
  if (mprotect(base, guard_bytes(), PROT_NONE) != 0) {
    munmap(base, total);
    throw std::runtime_error(std::string("protect a fiber stack's guard page: ") + std::strerror(errno));
  }
  stack.sp = static_cast<char*>(base) + total;
  return stack;
}

void FiberStackPool::deallocate(boost::context::stack_context& stack) noexcept {
  try {
    free_tops_.push_back(stack.sp);
  } catch (...) {
    char* base = static_cast<char*>(stack.sp) - fiber_stack_bytes - guard_bytes();
    munmap(base, fiber_stack_bytes + guard_bytes());
  }
}

FiberStackPool& thread_stack_pool() {
  thread_local FiberStackPool pool;
  return pool;
}

}  // namespace hostgpu::detail
