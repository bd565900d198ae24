#pragma once
// Fiber stacks for the threads of a block: mapped once per host thread with a
// guard page below each (an overflow faults instead of corrupting a neighbour)
// and reused by every later block.
#include <cstddef>
#include <vector>

#include <boost/context/stack_context.hpp>

namespace hostgpu::detail {

// Large enough for kernels that keep big register arrays on the stack.
constexpr size_t fiber_stack_bytes = 256 * 1024;

class FiberStackPool {
 public:
  FiberStackPool() = default;
  ~FiberStackPool();
  FiberStackPool(const FiberStackPool&) = delete;
  FiberStackPool& operator=(const FiberStackPool&) = delete;

  boost::context::stack_context allocate();
  void deallocate(boost::context::stack_context& stack) noexcept;

 private:
  std::vector<void*> free_tops_;
};

// The pool of the calling host thread.
FiberStackPool& thread_stack_pool();

// The stack allocator handed to boost::context::fiber.
struct PooledFiberStack {
  FiberStackPool* pool;
  boost::context::stack_context allocate() { return pool->allocate(); }
  void deallocate(boost::context::stack_context& stack) noexcept { pool->deallocate(stack); }
};

}  // namespace hostgpu::detail
