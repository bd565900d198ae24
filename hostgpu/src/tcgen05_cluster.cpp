// Which blocks a two-CTA tcgen05 instruction reaches: the blocks of the
// running block's cluster, each with its dynamic shared memory and its tensor
// memory (kept as per-block state).
#include <cstring>

#include "exec_block.h"
#include "hostgpu/device_cluster.h"
#include "hostgpu/device_shared.h"
#include "hostgpu/tcgen05.h"

namespace hostgpu {
namespace {

// The key of the tensor memory among a block's states.
const char tensor_memory_key = 0;

struct BlockTensorMemory {
  bool filled;  // with the pattern of undefined contents
  TensorMemory memory;
};

TensorMemory& tensor_memory_of(unsigned rank) {
  auto* state = static_cast<BlockTensorMemory*>(block_state(rank, &tensor_memory_key, sizeof(BlockTensorMemory)));
  if (!state->filled) {
    // Undefined at block start: a pattern, so that reading before writing shows.
    std::memset(state->memory.cells, 0xa5, sizeof(state->memory.cells));
    state->filled = true;
  }
  return state->memory;
}

}  // namespace

namespace detail {
TensorMemory& block_tensor_memory() { return tensor_memory_of(cluster_place().rank); }
}  // namespace detail

namespace tcgen05::detail {

unsigned cluster_rank() { return cluster_place().rank; }

unsigned cluster_block_count() { return cluster_place().blocks; }

bool cluster_block_view(unsigned rank, PairHalf* view) {
  if (hostgpu::detail::running_block() == nullptr || rank >= cluster_place().blocks) return false;
  view->shared = static_cast<const unsigned char*>(block_dynamic_shared(rank));
  view->shared_bytes = static_cast<uint32_t>(max_dynamic_shared_bytes);
  view->tensor_memory = &tensor_memory_of(rank);
  return true;
}

}  // namespace tcgen05::detail
}  // namespace hostgpu
