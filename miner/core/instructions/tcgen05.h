#pragma once
// Compute capability 10's tensor cores (tcgen05): tensor memory, the two-CTA
// matrix multiply from shared-memory descriptors, its commit to mbarriers,
// tensor-memory loads and stores, their fences and waits, and elect.sync.
// Part of the instruction layer: include "core/device_instructions.h", not
// this header.
//
// The instructions exist only in the arch-specific images (sm_100a, sm_103a);
// other images still build and trap if they ever reach one. Every tcgen05
// instruction of a kernel names the same CTA group, here always 2: the pair
// of CTAs whose cluster ranks differ in bit 0. On the host device the MMA and
// the tensor-memory accesses take effect when issued or, under the hostile
// settings, late (hostgpu/tcgen05.h), a commit's arrivals are posted (landing
// at once, or later when late arrivals are on), and their ordering rules are
// enforced; the two-CTA forms need the peer CTA's shared and tensor memory,
// which only a cluster provides (elsewhere they fault). As in the
// arch-specific images, a device of another capability faults where they
// would trap.
#include <cstdint>

#if defined(KORVATH_FLAVOUR_HOST)
#include <string>

#include <cstring>

#include "hostgpu/device_async_arrival.h"
#include "hostgpu/device_cluster.h"
#include "hostgpu/device_sync.h"
#include "hostgpu/tcgen05.h"
#endif

#if defined(KORVATH_FLAVOUR_CUDA) && defined(__CUDA_ARCH__) && \
    (defined(__CUDA_ARCH_FEAT_SM100_ALL) || defined(__CUDA_ARCH_FEAT_SM103_ALL))
#define KORVATH_DEVICE_HAS_TCGEN05 1
#endif
// kind::i8 is an sm_100a instruction; sm_103a has only the floating-point kinds.
#if defined(KORVATH_FLAVOUR_CUDA) && defined(__CUDA_ARCH__) && defined(__CUDA_ARCH_FEAT_SM100_ALL)
#define KORVATH_DEVICE_HAS_TCGEN05_I8 1
#endif

namespace device_instructions {

// ---- descriptors (the same bits in both flavours) ---------------------------

// A K-major operand in shared memory with the 128-byte swizzle: rows of 128
// bytes in groups of eight, `group_stride` bytes between groups (1024 when
// packed). `address` is the operand's shared-window address, plus the byte
// offset of the K block within the row. The leading byte offset is unused for
// this layout and set to 16 bytes (encoded 1).
__host__ __device__ constexpr uint64_t umma_descriptor_k_major_sw128(uint32_t address, uint32_t group_stride) {
  return uint64_t{(address & 0x3ffffu) >> 4} | (uint64_t{1} << 16) |
         (uint64_t{(group_stride & 0x3ffffu) >> 4} << 32) | (uint64_t{1} << 46) | (uint64_t{2} << 61);
}

// Dense kind::i8 (signed int8 operands, s32 accumulators, no saturation) and
// kind::f16 (bf16 operands, f32 accumulators), both K-major, M x N.
__host__ __device__ constexpr uint32_t umma_instruction_s8(uint32_t m, uint32_t n) {
  return (2u << 4) | (1u << 7) | (1u << 10) | ((n >> 3) << 17) | ((m >> 4) << 24);
}
__host__ __device__ constexpr uint32_t umma_instruction_bf16(uint32_t m, uint32_t n) {
  return (1u << 4) | (1u << 7) | (1u << 10) | ((n >> 3) << 17) | ((m >> 4) << 24);
}

// A tensor-memory address: lane << 16 | column.
__host__ __device__ constexpr uint32_t tensor_memory_address(uint32_t lane, uint32_t column) {
  return (lane << 16) | column;
}

// ---- shared window ----------------------------------------------------------

// The shared-window address the descriptors and barriers name. On the host
// device, the offset into the block's dynamic shared memory.
KORVATH_DEVICE_INSTRUCTION uint32_t shared_window_address(const void* pointer) {
#if defined(KORVATH_FLAVOUR_CUDA)
  return static_cast<uint32_t>(__cvta_generic_to_shared(pointer));
#else
  const auto* base = static_cast<const unsigned char*>(hostgpu::detail::dynamic_shared_base());
  const auto* p = static_cast<const unsigned char*>(pointer);
  if (p < base || p >= base + hostgpu::max_dynamic_shared_bytes) {
    hostgpu::detail::fault("tcgen05: an operand outside the block's dynamic shared memory");
  }
  return static_cast<uint32_t>(p - base);
#endif
}

#if defined(KORVATH_FLAVOUR_HOST)
namespace host_tcgen05 {
inline std::string capability_text(int capability) {
  return std::to_string(capability / 10) + "." + std::to_string(capability % 10);
}

// The images that hold the instructions: sm_100a and sm_103a, kind::i8 only
// sm_100a. A launch that names no device checks nothing.
inline void require_tcgen05(const char* instruction) {
  const int capability = hostgpu::detail::running_compute_capability();
  if (capability != 0 && capability / 10 != 10) {
    hostgpu::detail::fault(std::string(instruction) +
                           " exists only on compute capability 10.x (the sm_100a and sm_103a images); the device's is " +
                           capability_text(capability));
  }
}

inline void require_kind_i8() {
  const int capability = hostgpu::detail::running_compute_capability();
  if (capability != 0 && capability != 100) {
    hostgpu::detail::fault("tcgen05.mma.kind::i8 exists only on compute capability 10.0 (sm_100a); the device's is " +
                           capability_text(capability));
  }
}

// A .sync.aligned instruction: every lane of the warp arrives with the same
// operands (`what` names them in the fault).
template <typename T>
inline void require_warp_uniform(const char* instruction, const T& operands, const char* what) {
  const auto* table = reinterpret_cast<const T*>(
      hostgpu::detail::warp_exchange(instruction, 0xffffffffu, &operands, sizeof(T)));
  const unsigned lanes = hostgpu::detail::active_lanes();
  const unsigned first = static_cast<unsigned>(__builtin_ctz(lanes));
  for (unsigned lane = first + 1; lane < 32; ++lane) {
    if (((lanes >> lane) & 1u) && std::memcmp(&table[lane], &table[first], sizeof(T)) != 0) {
      hostgpu::detail::fault(std::string(instruction) + ": lane " + std::to_string(lane) + " gives another " + what +
                             " than lane " + std::to_string(first) + "; every lane of the warp gives the same");
    }
  }
}

struct AllocationOperands {
  const void* result;
  uint32_t columns;
  uint32_t pad;
};
struct AccessOperands {
  uint32_t address;
  uint32_t columns;
};
}  // namespace host_tcgen05
#endif

// ---- elect.sync -------------------------------------------------------------

// True in exactly one lane of the warp: the lowest active one.
KORVATH_DEVICE_INSTRUCTION bool elect_one_sync() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TCGEN05)
  uint32_t elected = 0;
  asm volatile(
      "{\n"
      ".reg .pred p;\n"
      "elect.sync _|p, 0xffffffff;\n"
      "selp.b32 %0, 1, 0, p;\n"
      "}\n"
      : "=r"(elected));
  return elected != 0;
#else
  __trap();
  return false;
#endif
#else
  host_tcgen05::require_tcgen05("elect.sync");
  const unsigned lanes = __ballot_sync(0xffffffffu, 1);
  return hostgpu::detail::lane_id() == static_cast<unsigned>(__builtin_ctz(lanes));
#endif
}

// ---- allocation -------------------------------------------------------------
// Warp-collective (every lane of one warp, the same warp in both CTAs of the
// pair): `columns` is a power of two from 32 to 512; the address of the first
// allocated column (lane 0) is written to `result` in shared memory.

KORVATH_DEVICE_INSTRUCTION void tmem_alloc_pair(uint32_t* result, uint32_t columns) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TCGEN05)
  asm volatile("tcgen05.alloc.cta_group::2.sync.aligned.shared::cta.b32 [%0], %1;" ::"r"(
                   shared_window_address(result)),
               "r"(columns)
               : "memory");
#else
  __trap();
#endif
#else
  host_tcgen05::require_tcgen05("tcgen05.alloc");
  host_tcgen05::require_warp_uniform("tcgen05.alloc", host_tcgen05::AllocationOperands{result, columns, 0},
                                     "destination or column count");
  // Tensor memory belongs to the SM: the columns may have to wait for the
  // other blocks resident there to free theirs.
  if (hostgpu::detail::lane_id() == 0) *result = hostgpu::detail::tensor_memory_alloc(columns);
  __syncwarp();
#endif
}

KORVATH_DEVICE_INSTRUCTION void tmem_dealloc_pair(uint32_t address, uint32_t columns) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TCGEN05)
  asm volatile("tcgen05.dealloc.cta_group::2.sync.aligned.b32 %0, %1;" ::"r"(address), "r"(columns) : "memory");
#else
  __trap();
#endif
#else
  host_tcgen05::require_tcgen05("tcgen05.dealloc");
  host_tcgen05::require_warp_uniform("tcgen05.dealloc", host_tcgen05::AccessOperands{address, columns},
                                     "address or column count");
  if (hostgpu::detail::lane_id() == 0) {
    hostgpu::tcgen05::note_deallocation(hostgpu::tensor_memory_column(address), columns);
    hostgpu::detail::tensor_memory_dealloc(address, columns);
  }
  __syncwarp();
#endif
}

// After it, the CTA allocates no more (lets a waiting CTA pair in).
KORVATH_DEVICE_INSTRUCTION void tmem_relinquish_alloc_permit_pair() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TCGEN05)
  asm volatile("tcgen05.relinquish_alloc_permit.cta_group::2.sync.aligned;" ::: "memory");
#else
  __trap();
#endif
#else
  host_tcgen05::require_tcgen05("tcgen05.relinquish_alloc_permit");
  __syncwarp();
  if (hostgpu::detail::lane_id() == 0) hostgpu::detail::tensor_memory_relinquish();
  __syncwarp();
#endif
}

// ---- loads and stores (shape 32x32b, 32 repetitions) -------------------------
// Warp w reaches lanes 32·(w mod 4) to 32·(w mod 4) + 31; lane i of the warp
// moves tensor-memory lane (lane of `address`) + i, columns (column of
// `address`) to + 31, one register each. Complete after tmem_wait_ld / _st.

#if defined(KORVATH_FLAVOUR_HOST)
namespace host_tcgen05 {
// Checks the warp's access; returns the tensor-memory lane of the calling lane.
inline uint32_t tmem_row(uint32_t address, const char* instruction) {
  require_tcgen05(instruction);
  require_warp_uniform(instruction, AccessOperands{address, 32}, "address");
  hostgpu::TensorMemory& tm = hostgpu::detail::block_tensor_memory();
  const unsigned linear = (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
  const uint32_t quarter = (linear / 32) % 4;
  const uint32_t lane = hostgpu::tensor_memory_lane(address);
  const uint32_t column = hostgpu::tensor_memory_column(address);
  if (lane != 32 * quarter) {
    hostgpu::detail::fault(std::string(instruction) + ": warp " + std::to_string(linear / 32) +
                           " reaches only lanes " + std::to_string(32 * quarter) + " to " +
                           std::to_string(32 * quarter + 31));
  }
  if (column + 32 > 512) hostgpu::detail::fault(std::string(instruction) + ": columns past 511");
  if (!hostgpu::detail::tensor_memory_held(column, 32)) {
    hostgpu::detail::fault(std::string(instruction) + ": columns not allocated");
  }
  return lane + hostgpu::detail::lane_id();
}
}  // namespace host_tcgen05
#endif

KORVATH_DEVICE_INSTRUCTION void tmem_load_32x32b_x32(uint32_t address, uint32_t (&r)[32]) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TCGEN05)
  asm volatile(
      "tcgen05.ld.sync.aligned.32x32b.x32.b32 {%0, %1, %2, %3, %4, %5, %6, %7, %8, %9, %10, %11, %12, %13, %14, "
      "%15, %16, %17, %18, %19, %20, %21, %22, %23, %24, %25, %26, %27, %28, %29, %30, %31}, [%32];"
      : "=r"(r[0]), "=r"(r[1]), "=r"(r[2]), "=r"(r[3]), "=r"(r[4]), "=r"(r[5]), "=r"(r[6]), "=r"(r[7]),
        "=r"(r[8]), "=r"(r[9]), "=r"(r[10]), "=r"(r[11]), "=r"(r[12]), "=r"(r[13]), "=r"(r[14]), "=r"(r[15]),
        "=r"(r[16]), "=r"(r[17]), "=r"(r[18]), "=r"(r[19]), "=r"(r[20]), "=r"(r[21]), "=r"(r[22]), "=r"(r[23]),
        "=r"(r[24]), "=r"(r[25]), "=r"(r[26]), "=r"(r[27]), "=r"(r[28]), "=r"(r[29]), "=r"(r[30]), "=r"(r[31])
      : "r"(address));
#else
  (void)address;
  for (int i = 0; i < 32; ++i) r[i] = 0;
  __trap();
#endif
#else
  const uint32_t lane = host_tcgen05::tmem_row(address, "tcgen05.ld");
  hostgpu::tcgen05::load_row(lane, hostgpu::tensor_memory_column(address), r);
  __syncwarp();
#endif
}

KORVATH_DEVICE_INSTRUCTION void tmem_store_32x32b_x32(uint32_t address, const uint32_t (&r)[32]) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TCGEN05)
  asm volatile(
      "tcgen05.st.sync.aligned.32x32b.x32.b32 [%0], {%1, %2, %3, %4, %5, %6, %7, %8, %9, %10, %11, %12, %13, %14, "
      "%15, %16, %17, %18, %19, %20, %21, %22, %23, %24, %25, %26, %27, %28, %29, %30, %31, %32};" ::"r"(address),
      "r"(r[0]), "r"(r[1]), "r"(r[2]), "r"(r[3]), "r"(r[4]), "r"(r[5]), "r"(r[6]), "r"(r[7]), "r"(r[8]),
      "r"(r[9]), "r"(r[10]), "r"(r[11]), "r"(r[12]), "r"(r[13]), "r"(r[14]), "r"(r[15]), "r"(r[16]), "r"(r[17]),
      "r"(r[18]), "r"(r[19]), "r"(r[20]), "r"(r[21]), "r"(r[22]), "r"(r[23]), "r"(r[24]), "r"(r[25]), "r"(r[26]),
      "r"(r[27]), "r"(r[28]), "r"(r[29]), "r"(r[30]), "r"(r[31])
      : "memory");
#else
  (void)address;
  (void)r;
  __trap();
#endif
#else
  const uint32_t lane = host_tcgen05::tmem_row(address, "tcgen05.st");
  hostgpu::tcgen05::store_row(lane, hostgpu::tensor_memory_column(address), r);
  __syncwarp();
#endif
}

// Waits for this thread's earlier tensor-memory loads (stores).
KORVATH_DEVICE_INSTRUCTION void tmem_wait_ld() {
#if defined(KORVATH_DEVICE_HAS_TCGEN05)
  asm volatile("tcgen05.wait::ld.sync.aligned;" ::: "memory");
#elif defined(KORVATH_FLAVOUR_HOST)
  hostgpu::tcgen05::wait_load();
#endif
}
KORVATH_DEVICE_INSTRUCTION void tmem_wait_st() {
#if defined(KORVATH_DEVICE_HAS_TCGEN05)
  asm volatile("tcgen05.wait::st.sync.aligned;" ::: "memory");
#elif defined(KORVATH_FLAVOUR_HOST)
  hostgpu::tcgen05::wait_store();
#endif
}

// Order tcgen05 operations around a thread barrier: "before" ahead of the
// barrier that publishes them, "after" behind the barrier that waits for them.
KORVATH_DEVICE_INSTRUCTION void tcgen05_fence_before_thread_sync() {
#if defined(KORVATH_DEVICE_HAS_TCGEN05)
  asm volatile("tcgen05.fence::before_thread_sync;" ::: "memory");
#elif defined(KORVATH_FLAVOUR_HOST)
  hostgpu::tcgen05::fence_before_thread_sync();
#endif
}
KORVATH_DEVICE_INSTRUCTION void tcgen05_fence_after_thread_sync() {
#if defined(KORVATH_DEVICE_HAS_TCGEN05)
  asm volatile("tcgen05.fence::after_thread_sync;" ::: "memory");
#elif defined(KORVATH_FLAVOUR_HOST)
  hostgpu::tcgen05::fence_after_thread_sync();
#endif
}

// ---- the two-CTA MMA and its commit ----------------------------------------
// Issued by one thread of one CTA of the pair: D (in both CTAs' tensor
// memory at `d`) = A · Bᵀ, plus D when `accumulate`. See hostgpu/tcgen05.h
// for which CTA holds which rows.

#if defined(KORVATH_FLAVOUR_HOST)
namespace host_tcgen05 {
inline void mma_pair(hostgpu::tcgen05::MmaKind kind, uint32_t d, uint64_t a, uint64_t b, uint32_t instruction,
                     bool accumulate) {
  require_tcgen05("tcgen05.mma");
  if (kind == hostgpu::tcgen05::MmaKind::i8) require_kind_i8();
  const unsigned rank = hostgpu::tcgen05::detail::cluster_rank();
  hostgpu::tcgen05::PairHalf even;
  hostgpu::tcgen05::PairHalf odd;
  if (!hostgpu::tcgen05::detail::cluster_block_view(rank & ~1u, &even) ||
      !hostgpu::tcgen05::detail::cluster_block_view(rank | 1u, &odd)) {
    hostgpu::detail::fault("tcgen05.mma.cta_group::2: the pair's other CTA is not resident in a cluster");
  }
  hostgpu::tcgen05::issue_mma_pair(kind, even, odd, d, a, b, instruction, accumulate);
}
}  // namespace host_tcgen05
#endif

enum class UmmaKind { i8, f16 };

// The operand types are the only difference between the kinds; `accumulate`
// becomes the instruction's enable-input-D predicate.
#define KORVATH_UMMA_PAIR_ASM(kind)                                      \
  asm volatile(                                                          \
      "{\n"                                                              \
      ".reg .pred p;\n"                                                  \
      "setp.ne.b32 p, %4, 0;\n"                                          \
      "tcgen05.mma.cta_group::2.kind::" kind " [%0], %1, %2, %3, p;\n"   \
      "}\n" ::"r"(d),                                                    \
      "l"(a), "l"(b), "r"(instruction), "r"(accumulate ? 1u : 0u)       \
      : "memory")

template <UmmaKind kKind>
KORVATH_DEVICE_INSTRUCTION void umma_pair(uint32_t d, uint64_t a, uint64_t b, uint32_t instruction,
                                          bool accumulate) {
#if defined(KORVATH_FLAVOUR_CUDA)
  (void)d, (void)a, (void)b, (void)instruction, (void)accumulate;
#if defined(KORVATH_DEVICE_HAS_TCGEN05_I8)
  if constexpr (kKind == UmmaKind::i8) {
    KORVATH_UMMA_PAIR_ASM("i8");
    return;
  }
#endif
#if defined(KORVATH_DEVICE_HAS_TCGEN05)
  if constexpr (kKind == UmmaKind::f16) {
    KORVATH_UMMA_PAIR_ASM("f16");
    return;
  }
#endif
  __trap();
#else
  host_tcgen05::mma_pair(kKind == UmmaKind::i8 ? hostgpu::tcgen05::MmaKind::i8 : hostgpu::tcgen05::MmaKind::f16,
                         d, a, b, instruction, accumulate);
#endif
}
#undef KORVATH_UMMA_PAIR_ASM

KORVATH_DEVICE_INSTRUCTION void umma_pair_s8(uint32_t d, uint64_t a, uint64_t b, uint32_t instruction,
                                             bool accumulate) {
  umma_pair<UmmaKind::i8>(d, a, b, instruction, accumulate);
}

KORVATH_DEVICE_INSTRUCTION void umma_pair_bf16(uint32_t d, uint64_t a, uint64_t b, uint32_t instruction,
                                               bool accumulate) {
  umma_pair<UmmaKind::f16>(d, a, b, instruction, accumulate);
}

// One arrival on the mbarrier at `barrier`'s offset in every CTA of the
// cluster named in `cta_mask`, once this thread's earlier MMAs are complete.
KORVATH_DEVICE_INSTRUCTION void umma_commit_pair_multicast(uint64_t* barrier, uint16_t cta_mask) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_TCGEN05)
  asm volatile(
      "tcgen05.commit.cta_group::2.mbarrier::arrive::one.shared::cluster.multicast::cluster.b64 [%0], %1;" ::"r"(
          shared_window_address(barrier)),
      "h"(cta_mask)
      : "memory");
#else
  (void)barrier, (void)cta_mask;
  __trap();
#endif
#else
  host_tcgen05::require_tcgen05("tcgen05.commit");
  uint64_t* targets[16];
  size_t count = 0;
  for (unsigned rank = 0; rank < 16; ++rank) {
    if (!(cta_mask & (1u << rank))) continue;
    if (rank >= hostgpu::tcgen05::detail::cluster_block_count()) {
      hostgpu::detail::fault("tcgen05.commit: CTA rank " + std::to_string(rank) + " is not in the cluster");
    }
    targets[count++] = static_cast<uint64_t*>(hostgpu::peer_address(barrier, rank));
  }
  hostgpu::tcgen05::commit(targets, count);
#endif
}

}  // namespace device_instructions
