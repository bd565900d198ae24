// The asynchronous tcgen05 instructions (hostgpu/tcgen05.h): MMAs that
// complete at their commit's arrival, loads and stores that complete at their
// waits, and the fences that order them around thread barriers. What is in
// flight is kept with each block: per thread its loads, stores and
// uncommitted MMAs; per block the tensor-memory columns MMAs in flight write.
#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "exec_block.h"
#include "exec_cluster.h"
#include "hostgpu/device_async_arrival.h"
#include "hostgpu/device_cluster.h"
#include "hostgpu/device_sync.h"
#include "hostgpu/tcgen05.h"
#include "tcgen05_pair.h"

namespace hostgpu::tcgen05 {
namespace {

constexpr uint32_t kPoisonWord = 0xA5A5A5A5u;

struct CtaState;

struct PendingLoad {
  uint32_t* registers;
  uint32_t values[32];
};

struct PendingStore {
  TensorMemory* memory;
  uint32_t lane;
  uint32_t column;
  uint32_t values[32];
};

struct PendingMma {
  detail::PairMma mma;
  std::vector<unsigned char> operands;  // as they were at issue
  std::weak_ptr<CtaState> even;
  std::weak_ptr<CtaState> odd;
};

struct ThreadState {
  unsigned long long waits_at_fence = 0;  // barrier waits passed at its last fence::after_thread_sync
  const char* unfenced_access = nullptr;  // a load or store since its last fence::before_thread_sync
  bool unfenced_mma = false;              // an MMA since its last commit or fence::before_thread_sync
  std::vector<PendingLoad> loads;
  std::vector<PendingStore> stores;
  std::vector<std::shared_ptr<PendingMma>> uncommitted;
};

struct CtaState {
  std::vector<ThreadState> threads;
  std::array<uint16_t, TensorMemory::kColumns> mma_writes{};  // MMAs in flight writing each column
};

const char state_key = 0;

hostgpu::detail::BlockRun& running(const char* what) {
  hostgpu::detail::BlockRun* block = hostgpu::detail::running_block();
  if (block == nullptr) throw std::logic_error(std::string(what) + " called outside a kernel");
  return *block;
}

std::shared_ptr<CtaState> state_of(hostgpu::detail::BlockRun& block) {
  std::shared_ptr<void>& slot = block.object(&state_key);
  if (!slot) {
    auto made = std::make_shared<CtaState>();
    made->threads.resize(block.thread_count());
    slot = made;
  }
  return std::static_pointer_cast<CtaState>(slot);
}

bool late_mma(hostgpu::detail::BlockRun& block) { return block.cluster().settings().late_mma; }
bool late_tensor_memory(hostgpu::detail::BlockRun& block) { return block.cluster().settings().late_tensor_memory; }

ThreadState& thread_state(hostgpu::detail::BlockRun& block) {
  return state_of(block)->threads[block.running_thread()];
}

// An asynchronous instruction after a barrier wait needs fence::after_thread_sync.
void require_ordered(hostgpu::detail::BlockRun& block, const ThreadState& thread, const char* instruction) {
  if (block.sync_waits() != thread.waits_at_fence) {
    hostgpu::detail::fault(std::string(instruction) +
                           " after a barrier wait with no tcgen05.fence::after_thread_sync between them");
  }
}

// What the thread must fence before it signals a barrier.
void hold_unfenced(hostgpu::detail::BlockRun& block, const ThreadState& thread) {
  block.hold_unfenced(thread.unfenced_access != nullptr ? thread.unfenced_access
                      : thread.unfenced_mma               ? "tcgen05.mma (not yet committed)"
                                                          : nullptr);
}

void mark_mma_writes(CtaState& cta, const detail::PairMma& mma, int step) {
  for (uint32_t c = mma.column; c < mma.column + mma.instruction.n; ++c) {
    cta.mma_writes[c] = static_cast<uint16_t>(cta.mma_writes[c] + step);
  }
}

// Runs just before the commit's arrival lands: the MMA reads its operands
// now, which must be the bytes it was issued with.
void complete(const PendingMma& pending) {
  const std::shared_ptr<CtaState> even = pending.even.lock();
  const std::shared_ptr<CtaState> odd = pending.odd.lock();
  if (!even || !odd) hostgpu::detail::fault("tcgen05.mma completes after a CTA of its pair exited");
  const std::vector<unsigned char> now = detail::pair_operand_bytes(pending.mma);
  for (size_t i = 0; i < now.size(); ++i) {
    if (now[i] != pending.operands[i]) {
      hostgpu::detail::fault("tcgen05.mma: its operand byte " + detail::pair_operand_place(pending.mma, i) +
                             " changed between the MMA's issue and its completion (observed through its "
                             "commit's barrier)");
    }
  }
  detail::execute_pair_mma(pending.mma);
  mark_mma_writes(*even, pending.mma, -1);
  mark_mma_writes(*odd, pending.mma, -1);
}

}  // namespace

void issue_mma_pair(MmaKind kind, const PairHalf& even, const PairHalf& odd, uint32_t d, uint64_t a_descriptor,
                    uint64_t b_descriptor, uint32_t instruction_descriptor, bool accumulate) {
  hostgpu::detail::BlockRun& block = running("tcgen05.mma");
  const detail::PairMma mma =
      detail::check_pair_mma(kind, even, odd, d, a_descriptor, b_descriptor, instruction_descriptor, accumulate);
  ThreadState& thread = thread_state(block);
  require_ordered(block, thread, "tcgen05.mma");
  detail::report_pair_operands(mma);
  if (!late_mma(block)) {
    detail::execute_pair_mma(mma);
  } else {
    const unsigned rank = block.rank();
    hostgpu::detail::ClusterRun& cluster = block.cluster();
    if (!cluster.has_block(rank & ~1u) || !cluster.has_block(rank | 1u)) {
      hostgpu::detail::fault("tcgen05.mma.cta_group::2: the pair's other CTA is not resident");
    }
    auto pending = std::make_shared<PendingMma>();
    pending->mma = mma;
    pending->operands = detail::pair_operand_bytes(mma);
    const std::shared_ptr<CtaState> even_state = state_of(cluster.block(rank & ~1u));
    const std::shared_ptr<CtaState> odd_state = state_of(cluster.block(rank | 1u));
    pending->even = even_state;
    pending->odd = odd_state;
    mark_mma_writes(*even_state, mma, 1);
    mark_mma_writes(*odd_state, mma, 1);
    thread_state(block).uncommitted.push_back(std::move(pending));
  }
  ThreadState& after = thread_state(block);
  after.unfenced_mma = true;
  hold_unfenced(block, after);
}

void commit(uint64_t* const* barriers, size_t count) {
  hostgpu::detail::BlockRun& block = running("tcgen05.commit");
  ThreadState& thread = thread_state(block);
  thread.unfenced_mma = false;
  hold_unfenced(block, thread);
  if (thread.uncommitted.empty()) {
    hostgpu::post_arrivals(barriers, count, 1);
    return;
  }
  // Arrivals a thread posts land in order, so a commit needs to complete only
  // the MMAs issued since the thread's previous one.
  auto mmas = std::make_shared<std::vector<std::shared_ptr<PendingMma>>>(std::move(thread.uncommitted));
  thread.uncommitted.clear();
  hostgpu::post_arrivals(barriers, count, 1, [mmas] {
    for (const std::shared_ptr<PendingMma>& pending : *mmas) complete(*pending);
  });
}

void load_row(uint32_t lane, uint32_t column, uint32_t (&registers)[32]) {
  hostgpu::detail::BlockRun& block = running("tcgen05.ld");
  const std::shared_ptr<CtaState> cta = state_of(block);
  ThreadState& thread = cta->threads[block.running_thread()];
  require_ordered(block, thread, "tcgen05.ld");
  const TensorMemory& memory = hostgpu::detail::block_tensor_memory();
  PendingLoad load{registers, {}};
  for (uint32_t i = 0; i < 32; ++i) {
    // Columns an MMA in flight writes hold nothing defined yet.
    load.values[i] = cta->mma_writes[column + i] != 0 ? kPoisonWord : memory.cells[lane][column + i];
  }
  if (late_tensor_memory(block)) {
    for (uint32_t& r : registers) r = kPoisonWord;
    thread.loads.push_back(load);
  } else {
    std::copy(load.values, load.values + 32, registers);
  }
  thread.unfenced_access = "tcgen05.ld";
  hold_unfenced(block, thread);
}

void store_row(uint32_t lane, uint32_t column, const uint32_t (&registers)[32]) {
  hostgpu::detail::BlockRun& block = running("tcgen05.st");
  const std::shared_ptr<CtaState> cta = state_of(block);
  ThreadState& thread = cta->threads[block.running_thread()];
  require_ordered(block, thread, "tcgen05.st");
  for (uint32_t i = 0; i < 32; ++i) {
    if (cta->mma_writes[column + i] != 0) {
      hostgpu::detail::fault("tcgen05.st into tensor-memory column " + std::to_string(column + i) +
                             ", which an MMA in flight writes");
    }
  }
  TensorMemory& memory = hostgpu::detail::block_tensor_memory();
  uint32_t* cells = &memory.cells[lane][column];
  if (late_tensor_memory(block)) {
    PendingStore store{&memory, lane, column, {}};
    std::copy(registers, registers + 32, store.values);
    thread.stores.push_back(store);
    std::fill(cells, cells + 32, kPoisonWord);
  } else {
    std::copy(registers, registers + 32, cells);
  }
  thread.unfenced_access = "tcgen05.st";
  hold_unfenced(block, thread);
}

void wait_load() {
  hostgpu::detail::BlockRun& block = running("tcgen05.wait::ld");
  ThreadState& thread = thread_state(block);
  for (const PendingLoad& load : thread.loads) std::copy(load.values, load.values + 32, load.registers);
  thread.loads.clear();
}

void wait_store() {
  hostgpu::detail::BlockRun& block = running("tcgen05.wait::st");
  ThreadState& thread = thread_state(block);
  for (const PendingStore& store : thread.stores) {
    std::copy(store.values, store.values + 32, &store.memory->cells[store.lane][store.column]);
  }
  thread.stores.clear();
}

void fence_before_thread_sync() {
  hostgpu::detail::BlockRun& block = running("tcgen05.fence::before_thread_sync");
  ThreadState& thread = thread_state(block);
  thread.unfenced_access = nullptr;
  thread.unfenced_mma = false;
  hold_unfenced(block, thread);
}

void fence_after_thread_sync() {
  hostgpu::detail::BlockRun& block = running("tcgen05.fence::after_thread_sync");
  thread_state(block).waits_at_fence = block.sync_waits();
}

void note_deallocation(uint32_t column, uint32_t columns) {
  hostgpu::detail::BlockRun& block = running("tcgen05.dealloc");
  const std::shared_ptr<CtaState> cta = state_of(block);
  for (uint32_t c = column; c < column + columns && c < TensorMemory::kColumns; ++c) {
    if (cta->mma_writes[c] != 0) {
      hostgpu::detail::fault("tcgen05.dealloc of tensor-memory column " + std::to_string(c) +
                             ", which an MMA in flight still writes (its commit not yet observed)");
    }
  }
}

}  // namespace hostgpu::tcgen05
