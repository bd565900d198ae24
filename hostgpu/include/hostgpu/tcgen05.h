#pragma once
// The fifth-generation tensor-core instructions (tcgen05) as the host device
// executes them: what the instruction layer calls for tensor-memory
// allocation, loads and stores, and the two-CTA matrix multiply.
// Everything outside what the mining kernels use faults with its name.
//
// The asynchronous instructions (mma, ld, st) take the freedoms a GPU has and
// their ordering rules are enforced:
//   - an MMA reads its operands and writes D when its commit's arrival lands
//     (HOSTGPU_LATE_MMA; otherwise when issued); its operand bytes must not
//     change in between, and D's columns read as poison until then;
//   - a load's registers hold poison until tcgen05.wait::ld, a store's cells
//     until tcgen05.wait::st (HOSTGPU_LATE_TMEM; otherwise both act at once);
//   - a thread that passed a barrier wait issues no asynchronous tcgen05
//     instruction before tcgen05.fence::after_thread_sync, and one holding
//     loads, stores or uncommitted MMAs signals no barrier before
//     tcgen05.fence::before_thread_sync.
// A fault names the rule broken.
#include <cstddef>
#include <cstdint>

#include "hostgpu/tensor_memory.h"

namespace hostgpu::tcgen05 {

// The 64-bit shared-memory matrix descriptor, field by field.
struct SharedDescriptor {
  uint32_t start_address;        // bytes, in the shared window
  uint32_t leading_byte_offset;  // bytes
  uint32_t stride_byte_offset;   // bytes
  uint32_t fixed_constant;       // bits 46-48, 0b001
  uint32_t base_offset;
  uint32_t leading_mode;         // 0 relative, 1 absolute
  uint32_t swizzle;              // 0 none, 1 128B/32B atom, 2 128B, 4 64B, 6 32B
};
SharedDescriptor decode_shared_descriptor(uint64_t descriptor);

// The 32-bit instruction descriptor of the dense kinds (f16, i8, ...).
struct InstructionDescriptor {
  uint32_t sparsity_selector, sparse, saturate, d_type, a_type, b_type;
  uint32_t negate_a, negate_b, transpose_a, transpose_b;
  uint32_t n, m;  // decoded: n = field << 3, m = field << 4
  uint32_t max_shift;
};
InstructionDescriptor decode_instruction_descriptor(uint32_t descriptor);

enum class MmaKind { i8, f16 };

// One CTA of the pair: its shared window (byte 0 of the descriptors'
// addresses) and its tensor memory.
struct PairHalf {
  const unsigned char* shared;
  uint32_t shared_bytes;
  TensorMemory* tensor_memory;
};

// tcgen05.mma.cta_group::2 with both operands in shared memory: D (M x N) =
// A (M x K) · B (N x K)ᵀ (+ D when accumulate), K = 32 bytes of elements.
// The even CTA holds A's rows 0 to M/2 - 1 and B's rows 0 to N/2 - 1, the odd
// one the rest, at the same descriptors; each CTA's tensor memory holds its
// M/2 rows of D (lane = row) over all N columns from d's column on.
// Faults (naming what) on anything the kernels do not use or the ISA forbids.
void mma_pair(MmaKind kind, const PairHalf& even, const PairHalf& odd, uint32_t d, uint64_t a_descriptor,
              uint64_t b_descriptor, uint32_t instruction_descriptor, bool accumulate);

// The pair MMA issued by the running thread (cta_group::2): checked at once,
// executed at once or when a later commit of the thread completes.
void issue_mma_pair(MmaKind kind, const PairHalf& even, const PairHalf& odd, uint32_t d, uint64_t a_descriptor,
                    uint64_t b_descriptor, uint32_t instruction_descriptor, bool accumulate);
// tcgen05.commit: one arrival on each barrier (generic pointers into the
// cluster's shared memory) once the running thread's earlier MMAs are done.
void commit(uint64_t* const* barriers, size_t count);

// tcgen05.ld / st of the 32x32b.x32 shape by the running thread, its lane of
// the warp's access already checked: tensor-memory lane `lane`, 32 columns
// from `column` of the running block's tensor memory.
void load_row(uint32_t lane, uint32_t column, uint32_t (&registers)[32]);
void store_row(uint32_t lane, uint32_t column, const uint32_t (&registers)[32]);
void wait_load();
void wait_store();

void fence_before_thread_sync();
void fence_after_thread_sync();

// tcgen05.dealloc by the running block (lane 0 of the warp): no freed column
// may be one an MMA in flight still writes.
void note_deallocation(uint32_t column, uint32_t columns);

// Byte offset in the shared window of element byte `k_byte` of row `row` of
// a K-major operand with the 128-byte swizzle (32-byte K extent per MMA).
uint32_t k_major_swizzled_offset(const SharedDescriptor& d, uint32_t row, uint32_t k_byte);

namespace detail {
// The running block's cluster rank and the cluster's size, and the shared
// window and tensor memory of the cluster's block of the given rank (false
// when the cluster has no such block). A block launched without a cluster is
// a cluster of one.
unsigned cluster_rank();
unsigned cluster_block_count();
bool cluster_block_view(unsigned rank, PairHalf* view);
}  // namespace detail

}  // namespace hostgpu::tcgen05
