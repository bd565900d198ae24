#pragma once
// Warp-group matrix multiply-accumulate (wgmma.mma_async, sm_90a) with both
// operands in shared memory, and the register reallocation of warp groups
// (setmaxnreg). Part of the instruction layer: include
// "core/device_instructions.h", not this header.
//
// A warp group is four consecutive warps whose first warp's index in the
// block is a multiple of 4; all 128 threads issue the same instruction with
// the same descriptors. The int8 shape used here, m64n128k32 with int32
// accumulators, reads A (64 x 32) and B (128 x 32), both K-major, through
// 64-bit matrix descriptors:
//   bits  0-13  start address >> 4 (shared-state-space address)
//   bits 16-29  leading-dimension byte offset >> 4 (unused by swizzled K-major)
//   bits 32-45  stride-dimension byte offset >> 4 (from one 8-row group to the next)
//   bits 49-51  base offset (0 when the swizzle pattern starts 1024-aligned)
//   bits 62-63  swizzle: 0 none, 1 128-byte, 2 64-byte, 3 32-byte
// With the 128-byte swizzle the rows of an 8-row group lie 128 bytes apart,
// byte k of row r at start + (r / 8) * SBO + (r % 8) * 128 + k, and the 16-byte
// unit of each address is XORed with its bits 7-9, as the bulk tensor copy's
// 128-byte swizzle writes it; a K step of 32 bytes advances the start address.
//
// Accumulators: thread t of the warp group holds, in register v (0..63),
//   row 16 (t / 32) + (t % 32) / 4 + 8 ((v / 2) % 2), column 8 (v / 4) + 2 (t % 4) + v % 2.
// Sums wrap modulo 2^32. An instruction is asynchronous: its accumulators
// may be read or written only after wgmma_wait_group has retired its group,
// and wgmma_fence must order earlier register accesses before the first
// instruction of a group. The host device computes an instruction when it is
// issued, from the shared memory of that moment, and keeps the rules of its
// asynchrony (hostgpu/wgmma.h): under the hostile settings the accumulators
// hold poison until the wait_group that retires the instruction.
#include <cstdint>

#if defined(KORVATH_FLAVOUR_HOST)
#include <cstring>
#include <string>
#include <vector>

#include "hostgpu/device_cluster.h"
#include "hostgpu/device_shared.h"
#include "hostgpu/device_sync.h"
#include "hostgpu/register_file.h"
#include "hostgpu/wgmma.h"
#endif

#if defined(KORVATH_FLAVOUR_CUDA) && defined(__CUDA_ARCH__) && defined(__CUDA_ARCH_FEAT_SM90_ALL)
#define KORVATH_DEVICE_HAS_WGMMA 1
#endif

namespace device_instructions {

struct GmmaDescriptorFields {
  uint32_t start_address;        // bytes
  uint32_t leading_byte_offset;  // bytes
  uint32_t stride_byte_offset;   // bytes
  uint32_t base_offset;
  uint32_t swizzle;              // 0 none, 1 128-byte, 2 64-byte, 3 32-byte
};

__host__ __device__ inline GmmaDescriptorFields decode_gmma_descriptor(uint64_t d) {
  GmmaDescriptorFields f;
  f.start_address = static_cast<uint32_t>(d & 0x3fff) << 4;
  f.leading_byte_offset = static_cast<uint32_t>((d >> 16) & 0x3fff) << 4;
  f.stride_byte_offset = static_cast<uint32_t>((d >> 32) & 0x3fff) << 4;
  f.base_offset = static_cast<uint32_t>((d >> 49) & 0x7);
  f.swizzle = static_cast<uint32_t>(d >> 62);
  return f;
}

// A K-major operand of 128-byte rows under the 128-byte swizzle, its 8-row
// groups `stride_bytes` apart, starting at a shared address.
__host__ __device__ inline uint64_t gmma_descriptor_k_sw128(uint32_t shared_address, uint32_t stride_bytes) {
  return (uint64_t{(shared_address >> 4) & 0x3fffu}) | (uint64_t{1} << 16) |
         (uint64_t{(stride_bytes >> 4) & 0x3fffu} << 32) | (uint64_t{1} << 62);
}

// The place of accumulator register v of warp-group thread t (m64nN shapes).
__host__ __device__ constexpr int wgmma_accumulator_row(int t, int v) {
  return 16 * (t / 32) + (t % 32) / 4 + 8 * ((v / 2) % 2);
}
__host__ __device__ constexpr int wgmma_accumulator_col(int t, int v) {
  return 8 * (v / 4) + 2 * (t % 4) + v % 2;
}

// The shared-state-space address of a shared-memory object (on the host
// device: its offset in the block's dynamic shared memory).
KORVATH_DEVICE_INSTRUCTION uint32_t shared_address(const void* p) {
#if defined(KORVATH_FLAVOUR_CUDA)
  return static_cast<uint32_t>(__cvta_generic_to_shared(p));
#else
  const auto* base = hostgpu::dynamic_shared<const unsigned char>();
  const auto* at = static_cast<const unsigned char*>(p);
  if (base == nullptr || at < base || at >= base + hostgpu::max_dynamic_shared_bytes) {
    hostgpu::detail::fault("shared_address of an object outside dynamic shared memory");
  }
  return static_cast<uint32_t>(at - base);
#endif
}

#if defined(KORVATH_FLAVOUR_HOST)
namespace host_wgmma {

// The shared address of byte k of row r of the operand a descriptor names.
inline uint32_t operand_address(const GmmaDescriptorFields& f, unsigned row, unsigned k) {
  uint32_t address = f.start_address + (row / 8) * f.stride_byte_offset + (row % 8) * 128 + k;
  return address ^ (((address >> 7) & 7u) << 4);
}

inline void check_descriptor(uint64_t d, const char* operand) {
  const GmmaDescriptorFields f = decode_gmma_descriptor(d);
  // The swizzle repeats every 1024 bytes: a start on row r of that pattern
  // needs base offset r.
  const uint32_t pattern_row = (f.start_address >> 7) & 7u;
  if (f.swizzle == 1 && f.base_offset != pattern_row) {
    hostgpu::detail::fault(std::string("wgmma: operand ") + operand + " descriptor starts on row " +
                           std::to_string(pattern_row) + " of the 128-byte swizzle's 1024-byte pattern, so its base "
                           "offset must be " + std::to_string(pattern_row) + ", not " + std::to_string(f.base_offset));
  }
  if (f.swizzle != 1 || f.base_offset != 0) {
    hostgpu::detail::fault(std::string("wgmma: operand ") + operand +
                           " descriptor is not a K-major 128-byte swizzle with base offset 0");
  }
}

// The sm_90a image holds the warp-group instructions; a launch that names no
// device checks nothing.
inline void require_sm90(const char* instruction) {
  const int capability = hostgpu::detail::running_compute_capability();
  if (capability != 0 && capability != 90) {
    hostgpu::detail::fault(std::string(instruction) +
                           " exists only on compute capability 9.0 (the sm_90a image); the device's is " +
                           std::to_string(capability / 10) + "." + std::to_string(capability % 10));
  }
}

inline int32_t operand_byte(const unsigned char* shared, const GmmaDescriptorFields& f, unsigned row,
                            unsigned k) {
  const uint32_t address = operand_address(f, row, k);
  if (address >= hostgpu::max_dynamic_shared_bytes) {
    hostgpu::detail::fault("wgmma: operand outside shared memory");
  }
  return static_cast<int8_t>(shared[address]);
}

// The calling thread's index in its warp group; faults when the block's
// threads do not form whole warp groups.
inline int thread_in_group() {
  const unsigned threads = blockDim.x * blockDim.y * blockDim.z;
  if (threads % 128 != 0) hostgpu::detail::fault("warp-group instruction in a block of partial warp groups");
  const unsigned linear = (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
  return static_cast<int>(linear % 128);
}

// Reports the bytes a warp reads through a descriptor to the async-proxy
// check: `rows` rows from `first_row`, 32 bytes of K each, two whole 16-byte
// units since the swizzle moves units, never bytes within one; collects them.
inline void report_operand(const unsigned char* shared, const GmmaDescriptorFields& f, unsigned first_row,
                           unsigned rows, std::vector<const unsigned char*>* units) {
  for (unsigned row = first_row; row < first_row + rows; ++row) {
    for (unsigned k = 0; k < 32; k += 16) {
      const uint32_t address = operand_address(f, row, k);
      if (address + 16 > hostgpu::max_dynamic_shared_bytes) hostgpu::detail::fault("wgmma: operand outside shared memory");
      hostgpu::async_proxy_access(shared + address, 16, "a wgmma operand read");
      units->push_back(shared + address);
    }
  }
}

struct Issue {
  uint64_t a;
  uint64_t b;
  uint32_t accumulate;
  uint32_t pad;
};

}  // namespace host_wgmma
#endif

// Orders this thread's earlier accesses to accumulator registers and shared
// memory before the warp group's next MMAs.
KORVATH_DEVICE_INSTRUCTION void wgmma_fence() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_WGMMA)
  asm volatile("wgmma.fence.sync.aligned;" ::: "memory");
#else
  __trap();
#endif
#else
  host_wgmma::require_sm90("wgmma.fence");
  hostgpu::wgmma::fence();
#endif
}

// Closes the group of MMAs issued since the last commit.
KORVATH_DEVICE_INSTRUCTION void wgmma_commit_group() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_WGMMA)
  asm volatile("wgmma.commit_group.sync.aligned;" ::: "memory");
#else
  __trap();
#endif
#else
  host_wgmma::require_sm90("wgmma.commit_group");
  hostgpu::wgmma::commit_group();
#endif
}

// Waits until at most `Pending` committed groups are still in flight.
template <int Pending>
KORVATH_DEVICE_INSTRUCTION void wgmma_wait_group() {
  static_assert(Pending >= 0 && Pending <= 7, "wgmma.wait_group takes 0 to 7");
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_WGMMA)
  asm volatile("wgmma.wait_group.sync.aligned %0;" ::"n"(Pending) : "memory");
#else
  __trap();
#endif
#else
  host_wgmma::require_sm90("wgmma.wait_group");
  hostgpu::wgmma::wait_group(Pending);
  // .sync: a lane resumes only once every lane of its warp has executed the
  // wait (and so retired its groups).
  const uint32_t pending = Pending;
  hostgpu::detail::warp_exchange("wgmma.wait_group", 0xffffffffu, &pending, sizeof(pending));
#endif
}

// d = A x B^T (+ d when accumulate) for one 64 x 128 x 32 int8 step.
KORVATH_DEVICE_INSTRUCTION void wgmma_m64n128k32_s8(uint32_t (&d)[64], uint64_t desc_a, uint64_t desc_b,
                                                    bool accumulate) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_WGMMA)
  asm volatile(
      "{\n"
      ".reg .pred p;\n"
      "setp.ne.b32 p, %66, 0;\n"
      "wgmma.mma_async.sync.aligned.m64n128k32.s32.s8.s8 {"
      "%0, %1, %2, %3, %4, %5, %6, %7, "
      "%8, %9, %10, %11, %12, %13, %14, %15, "
      "%16, %17, %18, %19, %20, %21, %22, %23, "
      "%24, %25, %26, %27, %28, %29, %30, %31, "
      "%32, %33, %34, %35, %36, %37, %38, %39, "
      "%40, %41, %42, %43, %44, %45, %46, %47, "
      "%48, %49, %50, %51, %52, %53, %54, %55, "
      "%56, %57, %58, %59, %60, %61, %62, %63},"
      " %64, %65, p;\n"
      "}\n"
      : "+r"(d[0]), "+r"(d[1]), "+r"(d[2]), "+r"(d[3]),
        "+r"(d[4]), "+r"(d[5]), "+r"(d[6]), "+r"(d[7]),
        "+r"(d[8]), "+r"(d[9]), "+r"(d[10]), "+r"(d[11]),
        "+r"(d[12]), "+r"(d[13]), "+r"(d[14]), "+r"(d[15]),
        "+r"(d[16]), "+r"(d[17]), "+r"(d[18]), "+r"(d[19]),
        "+r"(d[20]), "+r"(d[21]), "+r"(d[22]), "+r"(d[23]),
        "+r"(d[24]), "+r"(d[25]), "+r"(d[26]), "+r"(d[27]),
        "+r"(d[28]), "+r"(d[29]), "+r"(d[30]), "+r"(d[31]),
        "+r"(d[32]), "+r"(d[33]), "+r"(d[34]), "+r"(d[35]),
        "+r"(d[36]), "+r"(d[37]), "+r"(d[38]), "+r"(d[39]),
        "+r"(d[40]), "+r"(d[41]), "+r"(d[42]), "+r"(d[43]),
        "+r"(d[44]), "+r"(d[45]), "+r"(d[46]), "+r"(d[47]),
        "+r"(d[48]), "+r"(d[49]), "+r"(d[50]), "+r"(d[51]),
        "+r"(d[52]), "+r"(d[53]), "+r"(d[54]), "+r"(d[55]),
        "+r"(d[56]), "+r"(d[57]), "+r"(d[58]), "+r"(d[59]),
        "+r"(d[60]), "+r"(d[61]), "+r"(d[62]), "+r"(d[63])
      : "l"(desc_a), "l"(desc_b), "r"(static_cast<int32_t>(accumulate)));
#else
  __trap();
#endif
#else
  // Every lane of the warp issues the same instruction with the same operands.
  const host_wgmma::Issue mine{desc_a, desc_b, accumulate ? 1u : 0u, 0u};
  const auto* warp = reinterpret_cast<const host_wgmma::Issue*>(hostgpu::detail::warp_exchange(
      "wgmma.mma_async.m64n128k32.s8", 0xffffffffu, &mine, sizeof(mine)));
  for (int lane = 0; lane < 32; ++lane) {
    if (std::memcmp(&warp[lane], &mine, sizeof(mine)) != 0) {
      hostgpu::detail::fault("wgmma: the lanes of a warp issue different descriptors");
    }
  }
  host_wgmma::require_sm90("wgmma.mma_async");
  host_wgmma::check_descriptor(desc_a, "A");
  host_wgmma::check_descriptor(desc_b, "B");
  const GmmaDescriptorFields fa = decode_gmma_descriptor(desc_a);
  const GmmaDescriptorFields fb = decode_gmma_descriptor(desc_b);
  const auto* shared = hostgpu::dynamic_shared<const unsigned char>();
  const int t = host_wgmma::thread_in_group();
  // The operands are read by the async proxy: once per warp, its 16 rows of A and all of B.
  std::vector<const unsigned char*> units;
  if (hostgpu::detail::lane_id() == 0) {
    host_wgmma::report_operand(shared, fa, static_cast<unsigned>(t / 32) * 16, 16, &units);
    host_wgmma::report_operand(shared, fb, 0, 128, &units);
  }
  const uint32_t* input = hostgpu::wgmma::mma_input(d, 64);
  uint32_t product[64];
  for (int v = 0; v < 64; ++v) {
    const unsigned row = static_cast<unsigned>(wgmma_accumulator_row(t, v));
    const unsigned col = static_cast<unsigned>(wgmma_accumulator_col(t, v));
    uint32_t sum = accumulate ? input[v] : 0u;
    for (unsigned k = 0; k < 32; ++k) {
      sum += static_cast<uint32_t>(host_wgmma::operand_byte(shared, fa, row, k) *
                                   host_wgmma::operand_byte(shared, fb, col, k));
    }
    product[v] = sum;
  }
  hostgpu::wgmma::mma_issued(d, product, 64, units.empty() ? nullptr : units.data(), units.size());
#endif
}

#if defined(KORVATH_FLAVOUR_HOST)
namespace host_setmaxnreg {

// setmaxnreg for the calling warp: every lane executes it with the same
// count; the register file itself is the stand-in's (hostgpu/register_file.h).
inline void adjust(bool increase, unsigned count) {
  const std::string name = increase ? "setmaxnreg.inc" : "setmaxnreg.dec";
  host_wgmma::require_sm90(name.c_str());
  if (count < 24 || count > 256 || count % 8 != 0) {
    hostgpu::detail::fault(name + " with " + std::to_string(count) +
                           " registers: the count must be a multiple of 8 from 24 to 256");
  }
  const uint32_t deposit = count;
  const unsigned lanes = hostgpu::detail::active_lanes();
  const auto* table = reinterpret_cast<const uint32_t*>(
      hostgpu::detail::warp_exchange(increase ? "setmaxnreg.inc" : "setmaxnreg.dec", lanes, &deposit,
                                     sizeof(deposit)));
  for (unsigned lane = 0; lane < 32; ++lane) {
    if (((lanes >> lane) & 1u) && table[lane] != count) {
      hostgpu::detail::fault(name + " " + std::to_string(count) + " meets lane " + std::to_string(lane) +
                             " with " + std::to_string(table[lane]));
    }
  }
  // The warp moves once, by its first lane.
  if (hostgpu::detail::lane_id() != static_cast<unsigned>(__builtin_ctz(lanes))) return;
  hostgpu::registers::set_max_registers(increase, count);
}

}  // namespace host_setmaxnreg
#endif

// Register reallocation of the calling warp group: raise or lower its
// per-thread register limit to Count (a multiple of 8 from 24 to 256).
template <unsigned Count>
KORVATH_DEVICE_INSTRUCTION void setmaxnreg_inc() {
  static_assert(Count >= 24 && Count <= 256 && Count % 8 == 0, "setmaxnreg takes 24 to 256 in steps of 8");
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_WGMMA)
  asm volatile("setmaxnreg.inc.sync.aligned.u32 %0;" ::"n"(Count));
#else
  __trap();
#endif
#else
  host_setmaxnreg::adjust(true, Count);
#endif
}

template <unsigned Count>
KORVATH_DEVICE_INSTRUCTION void setmaxnreg_dec() {
  static_assert(Count >= 24 && Count <= 256 && Count % 8 == 0, "setmaxnreg takes 24 to 256 in steps of 8");
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_WGMMA)
  asm volatile("setmaxnreg.dec.sync.aligned.u32 %0;" ::"n"(Count));
#else
  __trap();
#endif
#else
  host_setmaxnreg::adjust(false, Count);
#endif
}

// Whether the running device has warp-group MMA: compute capability 9.0
// with its architecture-specific features (sm_90a). On the host device the
// grid's device decides.
KORVATH_DEVICE_INSTRUCTION bool warp_group_mma_available() {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(KORVATH_DEVICE_HAS_WGMMA)
  return true;
#else
  return false;
#endif
#else
  return hostgpu::detail::running_compute_capability() == 90;
#endif
}

}  // namespace device_instructions
