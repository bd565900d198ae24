#pragma once
// The warp-group MMA's asynchronous semantics as the host device keeps them,
// for the instruction layer's host twin (which computes each product):
//   - an MMA's accumulator registers hold poison from its issue until the
//     wgmma.wait_group that retires its group (HOSTGPU_LATE_MMA; otherwise
//     the product is there at once), and the operand bytes it reads must not
//     change in between;
//   - a wgmma on registers the thread wrote since the stand-in last did needs
//     a wgmma.fence between the write and the MMA, and so does the thread's
//     first one; registers written while an MMA on them is in flight fault.
// Groups: the MMAs a thread issues join its open group; wgmma.commit_group
// closes it; wgmma.wait_group(n) retires every closed group but the n most
// recent.
#include <cstddef>
#include <cstdint>

namespace hostgpu::wgmma {

// The value an MMA on the thread's `count` accumulator registers at
// `registers` adds to: theirs, or the product of the MMA on them still in
// flight. Checks the fence rule first.
const uint32_t* mma_input(uint32_t* registers, unsigned count);

// The MMA's product for those registers. `units` (from one lane of each
// warp, else null) are the 16-byte operand units the warp reads, held until
// the MMA retires.
void mma_issued(uint32_t* registers, const uint32_t* product, unsigned count, const unsigned char* const* units,
                size_t unit_count);

void fence();
void commit_group();
void wait_group(unsigned pending);

}  // namespace hostgpu::wgmma
