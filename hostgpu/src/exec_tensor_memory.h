#pragma once
// The executor's side of the per-SM tensor-memory allocator.
#include <string>

namespace hostgpu::detail {

class BlockRun;
class GridRun;

// What thread `thread` of `block` waits for when it waits in tcgen05.alloc
// (the columns it wants and who holds the SM's); empty for any other wait.
std::string tensor_memory_wait_report(GridRun& grid, const BlockRun& block, unsigned thread);

}  // namespace hostgpu::detail
