#pragma once
// Arrivals on an mbarrier that land after they are issued, as a GPU's do: a
// tensor-core commit's arrival once the work it tracks is done, a remote
// arrival on a barrier in another block of the cluster once it crosses over.
// The instruction layer posts them here; the executor lands them at a point
// its schedule chooses (at once unless late arrivals are on), possibly after
// the issuing thread's next instructions, but always:
//   - arrivals posted by one thread land in the order they were posted, each
//     after the actions of the earlier ones;
//   - before any thread can observe the barrier's phase change they cause;
//   - never on a block that has exited: an arrival still in flight for a
//     block when it ends fails the launch.
#include <cstddef>
#include <cstdint>
#include <functional>

namespace hostgpu {

// Runs just before an arrival lands (the deferred work a commit tracks). The
// running block is then the issuing one, so that hostgpu::detail::fault names
// it and its cluster; the host thread's own shared memory may be another
// block's, so the action reaches shared memory only through pointers it
// captured at issue (map_shared, block_dynamic_shared).
using ArrivalAction = std::function<void()>;

// Posts `count` arrivals by the running thread on the mbarrier at `barrier`,
// in the shared memory of a block of the running block's cluster (its own
// included: a generic pointer, as map_shared returns for a peer).
// `before_landing`, when given, runs once, just before the arrival lands.
void post_arrival(uint64_t* barrier, uint32_t count, ArrivalAction before_landing = {});

// One post for several barriers (a multicast commit): `count` arrivals on
// each of `barriers[0..n)`, which may land at different points;
// `before_landing` runs once, before the first of them lands.
void post_arrivals(uint64_t* const* barriers, size_t n, uint32_t count, ArrivalAction before_landing = {});

}  // namespace hostgpu
