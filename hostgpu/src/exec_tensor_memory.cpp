// Tensor memory per simulated SM (tensor_memory.h): the blocks resident on an
// SM share its 512 columns; an alloc that does not fit waits for the others
// to free theirs.
#include "exec_tensor_memory.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "exec_block.h"
#include "exec_cluster.h"
#include "exec_grid_run.h"
#include "hostgpu/device_cluster.h"
#include "hostgpu/tensor_memory.h"

namespace hostgpu::detail {
namespace {

constexpr unsigned kSlices = TensorMemory::kColumns / TensorMemory::kSliceColumns;

// Names the wait in a stall's report.
const char kAllocWait[] = "tcgen05.alloc";

BlockRun& require_block(const char* what) {
  BlockRun* block = running_block();
  if (block == nullptr) throw std::logic_error(std::string(what) + " called outside a kernel");
  return *block;
}

unsigned sm_of(BlockRun& block) { return block.cluster().grid().slot(block.slot()).sm; }

uint32_t slice_mask(uint32_t first, uint32_t slices) {
  return (slices >= 32 ? 0xffffffffu : (1u << slices) - 1u) << first;
}

bool valid_count(uint32_t columns) {
  return columns >= 32 && columns <= 512 && (columns & (columns - 1)) == 0;
}

// The first free run of `slices` slices aligned to its size, or -1.
int free_run(const SmTensorMemory& sm, uint32_t slices) {
  for (uint32_t first = 0; first + slices <= kSlices; first += slices) {
    bool free = true;
    for (uint32_t s = first; s < first + slices && free; ++s) free = sm.owner[s] == nullptr;
    if (free) return static_cast<int>(first);
  }
  return -1;
}

// Whether a run would be free if every other block let go of its columns.
bool fits_alone(const SmTensorMemory& sm, const BlockRun& block, uint32_t slices) {
  for (uint32_t first = 0; first + slices <= kSlices; first += slices) {
    bool free = true;
    for (uint32_t s = first; s < first + slices && free; ++s) free = sm.owner[s] != &block;
    if (free) return true;
  }
  return false;
}

// "block (0,0,0) holds 256 and block (2,0,0) holds 256"
std::string holders(const SmTensorMemory& sm) {
  std::string text;
  const BlockRun* last = nullptr;
  unsigned held = 0;
  auto flush = [&] {
    if (last == nullptr) return;
    if (!text.empty()) text += " and ";
    text += last->block_name() + " holds " + std::to_string(held);
  };
  for (unsigned s = 0; s < kSlices; ++s) {
    if (sm.owner[s] == nullptr) continue;
    if (sm.owner[s] != last) {
      flush();
      last = sm.owner[s];
      held = 0;
    }
    held += TensorMemory::kSliceColumns;
  }
  flush();
  return text.empty() ? "no block holds any" : text;
}

}  // namespace

TensorMemory& block_tensor_memory() {
  BlockRun& block = require_block("tensor memory");
  return *block.cluster().grid().sm_tensor_memory(sm_of(block)).memory;
}

namespace {

// Gives `block` the slices [first, first + slices) of its SM.
void grant(GridRun& grid, BlockRun& block, uint32_t first, uint32_t slices) {
  SmTensorMemory& sm = grid.sm_tensor_memory(sm_of(block));
  for (uint32_t s = first; s < first + slices; ++s) sm.owner[s] = &block;
  const uint32_t mask = slice_mask(first, slices);
  sm.memory->allocated_slices |= mask;
  block.tensor_memory_slices() |= mask;
  if (grid.settings().poison) {
    for (auto& lane : sm.memory->cells) {
      std::memset(&lane[first * TensorMemory::kSliceColumns], 0xa5,
                  slices * TensorMemory::kSliceColumns * sizeof(uint32_t));
    }
  }
}

// The first run free on every SM of `sms`, or -1.
int common_free_run(const std::vector<SmTensorMemory*>& sms, uint32_t slices) {
  for (uint32_t first = 0; first + slices <= kSlices; first += slices) {
    bool free = true;
    for (const SmTensorMemory* sm : sms) {
      for (uint32_t s = first; s < first + slices && free; ++s) free = sm->owner[s] == nullptr;
    }
    if (free) return static_cast<int>(first);
  }
  return -1;
}

}  // namespace

uint32_t tensor_memory_alloc(uint32_t columns) {
  BlockRun& block = require_block("tcgen05.alloc");
  ClusterRun& cluster = block.cluster();
  GridRun& grid = cluster.grid();
  const unsigned sm_index = sm_of(block);
  SmTensorMemory& sm = grid.sm_tensor_memory(sm_index);
  if (!valid_count(columns)) fault("tcgen05.alloc: the column count must be a power of two from 32 to 512");
  if (block.tensor_memory_relinquished()) fault("tcgen05.alloc after tcgen05.relinquish_alloc_permit");
  const uint32_t slices = columns / TensorMemory::kSliceColumns;
  if (!fits_alone(sm, block, slices)) {
    fault("tcgen05.alloc of " + std::to_string(columns) + " columns can never succeed: no free tensor-memory "
          "columns on SM " + std::to_string(sm_index) + " where this block itself holds " +
          std::to_string(__builtin_popcount(block.tensor_memory_slices()) * TensorMemory::kSliceColumns) +
          " of the 512");
  }
  // The CTA pair allocates together: the same columns on both SMs, once both
  // have asked. A block without a peer allocates alone.
  const unsigned rank = block.rank();
  const unsigned peer_rank = rank ^ 1u;
  const bool paired = peer_rank < cluster.block_count();
  ClusterRun::PairAlloc* pair = paired ? &cluster.pair_alloc(rank / 2) : nullptr;
  const unsigned side = rank & 1u;
  if (paired) {
    if (pair->asked[side] != 0) fault("tcgen05.alloc while this CTA's last one is still pending");
    pair->asked[side] = columns;
    grid.note_change();
    if (pair->asked[side ^ 1u] == 0) {
      // The peer grants both when it asks.
      wait_until([&] { return pair->granted[side] || cluster.exited(peer_rank); }, "tcgen05.alloc by the peer CTA");
      if (!pair->granted[side]) fault("tcgen05.alloc: the peer CTA of the pair exited without allocating");
      pair->asked[side] = 0;
      pair->granted[side] = false;
      return pair->column;
    }
    if (pair->asked[side ^ 1u] != columns) {
      fault("tcgen05.alloc of " + std::to_string(columns) + " columns while the peer CTA asks for " +
            std::to_string(pair->asked[side ^ 1u]));
    }
  }
  std::vector<SmTensorMemory*> sms{&sm};
  BlockRun* peer = nullptr;
  if (paired) {
    peer = &cluster.block(peer_rank);
    sms.push_back(&grid.sm_tensor_memory(sm_of(*peer)));
  }
  int first = common_free_run(sms, slices);
  if (first < 0) {
    if (grid.settings().strict_tensor_memory) {
      std::string where = "SM " + std::to_string(sm_index) + ", where " + holders(sm);
      if (paired) where += ", and SM " + std::to_string(sm_of(*peer)) + ", where " + holders(*sms[1]);
      fault("tcgen05.alloc of " + std::to_string(columns) + " columns would wait on " + where);
    }
    block.tensor_memory_wanted() = columns;
    wait_until([&] { return (first = common_free_run(sms, slices)) >= 0; }, kAllocWait);
    block.tensor_memory_wanted() = 0;
  }
  grant(grid, block, static_cast<uint32_t>(first), slices);
  const uint32_t column = static_cast<uint32_t>(first) * TensorMemory::kSliceColumns;  // lane 0
  if (paired) {
    grant(grid, *peer, static_cast<uint32_t>(first), slices);
    pair->column = column;
    pair->granted[side ^ 1u] = true;
    pair->asked[side] = 0;
  }
  grid.note_change();
  return column;
}

void tensor_memory_dealloc(uint32_t address, uint32_t columns) {
  BlockRun& block = require_block("tcgen05.dealloc");
  GridRun& grid = block.cluster().grid();
  SmTensorMemory& sm = grid.sm_tensor_memory(sm_of(block));
  const uint32_t column = tensor_memory_column(address);
  if (tensor_memory_lane(address) != 0 || column % TensorMemory::kSliceColumns != 0 || !valid_count(columns) ||
      column + columns > TensorMemory::kColumns) {
    fault("tcgen05.dealloc: not an allocated range");
  }
  const uint32_t mask = slice_mask(column / TensorMemory::kSliceColumns, columns / TensorMemory::kSliceColumns);
  if ((block.tensor_memory_slices() & mask) != mask) fault("tcgen05.dealloc: not an allocated range");
  for (uint32_t s = column / TensorMemory::kSliceColumns; s < (column + columns) / TensorMemory::kSliceColumns; ++s) {
    sm.owner[s] = nullptr;
  }
  sm.memory->allocated_slices &= ~mask;
  block.tensor_memory_slices() &= ~mask;
  grid.note_change();
}

void tensor_memory_relinquish() { require_block("tcgen05.relinquish_alloc_permit").tensor_memory_relinquished() = true; }

bool tensor_memory_held(uint32_t column, uint32_t count) {
  BlockRun& block = require_block("tensor memory");
  if (count == 0 || column + count > static_cast<uint32_t>(TensorMemory::kColumns)) return false;
  for (uint32_t s = column / TensorMemory::kSliceColumns; s <= (column + count - 1) / TensorMemory::kSliceColumns; ++s) {
    if (((block.tensor_memory_slices() >> s) & 1u) == 0) return false;
  }
  return true;
}

std::string tensor_memory_wait_report(GridRun& grid, const BlockRun& block, unsigned thread) {
  if (block.waits_for(thread) != kAllocWait) return {};
  BlockRun& waiting = const_cast<BlockRun&>(block);
  const unsigned sm_index = grid.slot(block.slot()).sm;
  std::string where = "SM " + std::to_string(sm_index) + ", where " + holders(grid.sm_tensor_memory(sm_index));
  ClusterRun& cluster = waiting.cluster();
  const unsigned peer_rank = block.rank() ^ 1u;
  if (peer_rank < cluster.block_count() && cluster.has_block(peer_rank)) {
    const unsigned peer_sm = grid.slot(cluster.slot_of(peer_rank)).sm;
    where += ", and SM " + std::to_string(peer_sm) + ", where " + holders(grid.sm_tensor_memory(peer_sm));
  }
  return "tcgen05.alloc of " + std::to_string(waiting.tensor_memory_wanted()) + " columns waits on " + where +
         ", and no block can free any more";
}

}  // namespace hostgpu::detail
