#pragma once
// Asynchronous copies into shared memory, per thread, as the GPU's copy
// groups behave: a copy reads its source when it is issued and lands in its
// destination only when the issuing thread waits for its group, so a read
// before the wait sees the old contents. Copies still pending when a thread
// returns are completed then.
namespace hostgpu::detail {

// Queues a copy of `source_bytes` bytes from source followed by zeros up to
// `total_bytes` (at most 16; both addresses aligned to total_bytes).
void async_copy(void* destination, const void* source, unsigned total_bytes, unsigned source_bytes);

// Closes the copies queued since the last commit into one group (possibly empty).
void async_copy_commit();

// Completes the oldest committed groups until at most `pending_groups` remain.
void async_copy_wait(unsigned pending_groups);

// Completes every queued copy, committed or not.
void async_copy_wait_all();

}  // namespace hostgpu::detail
