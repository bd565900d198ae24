// Two-CTA tensor-core kernels that each break one rule of the PTX ISA that
// the two-SM mining kernels rely on, on a capability 10.0 host device: each
// is caught under the hostile settings and passes once mended.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/device_instructions.h"
#include "core/gpu_platform.h"
#include "core/instructions/proxy_fence.h"
#include "fault_fixture.h"

namespace {

using namespace device_instructions;
using fault_fixture::Fixture;

constexpr unsigned kThreads = 128;
// Each CTA holds its 128 rows of A and 32 of B's 64, one 128-byte K block of
// ones each, in the 128-byte swizzle; then the pair's barrier and addresses.
constexpr uint32_t kTileA = 128 * 128;
constexpr uint32_t kTileB = 32 * 128;
constexpr uint32_t kStateOffset = kTileA + kTileB;
constexpr uint32_t kSharedBytes = kStateOffset + 64;
constexpr uint32_t kColumns = 128;  // D in columns 0-63, a scratch row in 64-95
constexpr uint32_t kScratch = 64;
constexpr int kProduct = 32;        // every cell of D: 32 int8 products of 1 x 1
constexpr int kBf16Product = 0x41800000;  // or 16 bf16 products of 1.0 x 1.0: 16.0f

struct PairState {
  uint64_t done;
  uint32_t tensor_memory;
  uint32_t second_allocation;
};

enum class Rule {
  commit_wait,         // D read once the issuing thread passed a cluster barrier, not the commit's phase
  operands_in_flight,  // the operands rewritten before the commit's phase
  wait_ld,             // tcgen05.ld registers used before tcgen05.wait::ld
  wait_st,             // cells read back before tcgen05.wait::st
  fence_after,         // no tcgen05.fence::after_thread_sync after waiting for the commit
  fence_before,        // no tcgen05.fence::before_thread_sync before the last cluster barrier
  i8_n_multiple,       // kind::i8 with N = 48
  sw128_base_offset,   // A's descriptor starts on row 1 of the swizzle pattern, base offset 0
  pair_allocation,     // the odd CTA allocates other columns than the even one
  uniform_address,     // one lane loads from another column than its warp
};

__global__ void pair_kernel(Rule rule, bool mended, bool bf16, int* out) {
  const auto broken = [&](Rule r) { return !mended && rule == r; };
  unsigned char* tiles = korvath_dynamic_shared<unsigned char>();
  auto* state = reinterpret_cast<PairState*>(tiles + kStateOffset);
  const unsigned t = threadIdx.x;
  const unsigned warp = t / 32;
  const bool even = cluster_block_rank() == 0;
  // Ones: int8 1, or bf16 1.0 (0x3f80), whose bytes the swizzle keeps in place.
  for (unsigned i = t; i < kTileA + kTileB; i += kThreads) tiles[i] = !bf16 ? 1 : i % 2 == 0 ? 0x80 : 0x3f;
  fence_proxy_async_shared();  // the tensor core reads them through the async proxy
  if (t == 0) {
    mbarrier_init(&state->done, 1);
    mbarrier_init_fence();
  }
  const uint32_t columns = broken(Rule::pair_allocation) && !even ? 2 * kColumns : kColumns;
  if (warp == 0) tmem_alloc_pair(&state->tensor_memory, columns);
  tcgen05_fence_before_thread_sync();
  cluster_sync();
  tcgen05_fence_after_thread_sync();
  const uint32_t d = state->tensor_memory;

  if (even && t == 0) {
    const uint32_t n = broken(Rule::i8_n_multiple) ? 48 : 64;
    const uint32_t a = shared_window_address(tiles) + (broken(Rule::sw128_base_offset) ? 128 : 0);
    const uint64_t da = umma_descriptor_k_major_sw128(a, 1024);
    const uint64_t db = umma_descriptor_k_major_sw128(shared_window_address(tiles + kTileA), 1024);
    if (bf16) {
      umma_pair_bf16(d, da, db, umma_instruction_bf16(256, n), false);
    } else {
      umma_pair_s8(d, da, db, umma_instruction_s8(256, n), false);
    }
    umma_commit_pair_multicast(&state->done, 0x3);
  }
  if (broken(Rule::commit_wait) || broken(Rule::operands_in_flight)) {
    // Ordered after the issue, not after the MMA.
    tcgen05_fence_before_thread_sync();
    cluster_sync();
  }
  if (broken(Rule::operands_in_flight)) {
    for (unsigned i = t; i < kTileA + kTileB; i += kThreads) tiles[i] = 2;  // the next stage's data
    fence_proxy_async_shared();
  }
  if (!broken(Rule::commit_wait)) mbarrier_wait_parity(&state->done, 0);
  if (!broken(Rule::fence_after)) tcgen05_fence_after_thread_sync();

  const uint32_t row = d + tensor_memory_address(32 * warp, 0);
  uint32_t values[32];
  tmem_load_32x32b_x32(broken(Rule::uniform_address) && t % 32 == 5 ? row + 32 : row, values);
  int result = -1;
  if (broken(Rule::wait_ld)) result = static_cast<int>(values[0]);
  tmem_wait_ld();
  if (!broken(Rule::wait_ld)) result = static_cast<int>(values[0]);
  if (rule == Rule::wait_st) {
    // The thread stores a row of its own and reads it back.
    uint32_t stored[32];
    for (uint32_t i = 0; i < 32; ++i) stored[i] = 1000 + t;
    tmem_store_32x32b_x32(row + kScratch, stored);
    if (!broken(Rule::wait_st)) tmem_wait_st();
    uint32_t back[32];
    tmem_load_32x32b_x32(row + kScratch, back);
    tmem_wait_ld();
    tmem_wait_st();
    result = static_cast<int>(back[0]);
  }
  out[blockIdx.x * kThreads + t] = result;
  if (broken(Rule::commit_wait)) mbarrier_wait_parity(&state->done, 0);  // before the columns are freed
  if (!broken(Rule::fence_before)) tcgen05_fence_before_thread_sync();
  cluster_sync();  // the peer is done with the pair's tensor memory
  if (warp == 0) tmem_dealloc_pair(d, columns);
}

Fixture pair_fixture(const char* fault, Rule rule, const char* fault_text, bool bf16 = false) {
  Fixture f;
  f.fault = fault;
  f.body = [rule, bf16](bool mended, int* out) { pair_kernel(rule, mended, bf16, out); };
  f.expected = [rule, bf16](unsigned i) {
    return rule == Rule::wait_st ? 1000 + static_cast<int>(i % kThreads) : bf16 ? kBf16Product : kProduct;
  };
  f.outputs = 2 * kThreads;
  f.fault_text = fault_text;
  f.threads = kThreads;
  f.shared_bytes = kSharedBytes;
  f.grid = dim3(2);
  f.cluster = dim3(2);
  f.compute_capability = 100;
  return f;
}

// The MMA completes when its commit's arrival lands, which late arrivals put
// after the issuing thread's next instructions.
TEST(Tcgen05FixtureTest, TheMmaCompletesOnlyWhenItsCommitArrives) {
  fault_fixture::check_table({
      pair_fixture("accumulators read before the commit's phase is observed", Rule::commit_wait, nullptr),
      pair_fixture("operands rewritten before the commit's phase is observed", Rule::operands_in_flight,
                   "changed between the MMA's issue and its completion"),
  });
}

TEST(Tcgen05FixtureTest, EachBrokenRuleIsCaughtAndEachMendedKernelPasses) {
  fault_fixture::check_table({
      pair_fixture("tcgen05.ld registers used before tcgen05.wait::ld", Rule::wait_ld, nullptr),
      pair_fixture("tcgen05.st read back before tcgen05.wait::st", Rule::wait_st, nullptr),
      pair_fixture("no tcgen05.fence::after_thread_sync after the barrier wait", Rule::fence_after,
                   "tcgen05.ld after a barrier wait with no tcgen05.fence::after_thread_sync"),
      pair_fixture("no tcgen05.fence::before_thread_sync before the cluster barrier", Rule::fence_before,
                   "tcgen05.ld then barrier.cluster.arrive with no tcgen05.fence::before_thread_sync"),
      pair_fixture("kind::i8 pair MMA with N = 48", Rule::i8_n_multiple, "N a multiple of 32"),
      pair_fixture("SW128 descriptor off the 1024-byte pattern without its base offset", Rule::sw128_base_offset,
                   "so its base offset must be 1"),
      pair_fixture("the CTAs of the pair allocate different columns", Rule::pair_allocation,
                   "columns while the peer CTA asks for"),
      pair_fixture("the lanes of a warp load from different addresses", Rule::uniform_address,
                   "lane 5 gives another address"),
  });
}

// Each switch of the hostile settings alone makes its rule's fault show.
TEST(Tcgen05FixtureTest, EachSwitchAloneShowsItsFault) {
  struct Case {
    const char* variable;
    Rule rule;
  };
  const Case cases[] = {{"HOSTGPU_LATE_TMEM", Rule::wait_ld}, {"HOSTGPU_LATE_TMEM", Rule::wait_st}};
  for (const Case& c : cases) {
    const Fixture f = pair_fixture(c.variable, c.rule, nullptr);
    const fault_fixture::Outcome broken = fault_fixture::run(f, false, c.variable, "1");
    EXPECT_TRUE(broken.result != cudaSuccess || !broken.right) << c.variable;
    const fault_fixture::Outcome kind = fault_fixture::run(f, false, nullptr, nullptr);
    EXPECT_TRUE(kind.result == cudaSuccess && kind.right) << c.variable << ": the kind device hides it";
  }
}

// The instructions exist only in the images of their capabilities: a device
// of another one faults where those images would trap.
TEST(Tcgen05FixtureTest, ADeviceWithoutTheInstructionFaults) {
  struct Case {
    int capability;
    bool bf16;
    const char* fault_text;  // null: runs
  };
  const Case cases[] = {
      {100, false, nullptr},
      {100, true, nullptr},
      {103, true, nullptr},
      {103, false, "tcgen05.mma.kind::i8 exists only on compute capability 10.0 (sm_100a); the device's is 10.3"},
      {90, true, "tcgen05.alloc exists only on compute capability 10.x"},
      {120, false, "tcgen05.alloc exists only on compute capability 10.x"},
  };
  for (const Case& c : cases) {
    fault_fixture::expect_on_capability(pair_fixture("capability", Rule::wait_ld, c.fault_text, c.bf16), c.capability);
  }
}

}  // namespace

namespace {

// Warp 1 loads after the block barrier without the fence; warp 0 fences.
__global__ void one_warp_unfenced_kernel() {
  uint32_t* slot = korvath_dynamic_shared<uint32_t>();
  const unsigned warp = threadIdx.x / 32;
  if (warp == 0) tmem_alloc_pair(slot, 32);
  tcgen05_fence_before_thread_sync();
  __syncthreads();
  if (warp == 0) tcgen05_fence_after_thread_sync();
  uint32_t values[32];
  tmem_load_32x32b_x32(*slot + tensor_memory_address(32 * warp, 0), values);
  tmem_wait_ld();
}

TEST(Tcgen05FixtureTest, TheOrderingFaultNamesTheKernelTheBlockAndTheThread) {
  hostgpu::GridLaunch launch;
  launch.grid = dim3(1);
  launch.block = dim3(64);
  launch.dynamic_shared_bytes = 64;
  launch.compute_capability = 100;
  launch.kernel = reinterpret_cast<const void*>(&one_warp_unfenced_kernel);
  ASSERT_EQ(hostgpu::execute_grid(launch, [] { one_warp_unfenced_kernel(); }), cudaErrorLaunchFailure);
  const std::string fault = hostgpu::last_kernel_fault();
  EXPECT_EQ(fault.rfind("kernel 0x", 0), 0u) << fault;
  EXPECT_NE(fault.find(", block (0,0,0), thread (32,0,0): tcgen05.ld after a barrier wait with no "
                       "tcgen05.fence::after_thread_sync between them"),
            std::string::npos)
      << fault;
}

}  // namespace
