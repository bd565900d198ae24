#include "exec_cluster.h"

#include <cxxabi.h>
#include <link.h>
#include <sanitizer/asan_interface.h>

#include <set>
#include <thread>
#include <vector>

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "exec_block.h"
#include "exec_state.h"
#include "hostgpu/device_coordinates.h"
#include "hostgpu/device_shared.h"

namespace hostgpu::detail {
namespace {

thread_local ClusterRun* current_cluster = nullptr;

// Kernels known to use the async proxy, in every host thread.
std::mutex async_proxy_kernels_mutex;
std::set<const void*> async_proxy_kernels;

bool uses_async_proxy(const void* kernel) {
  std::lock_guard<std::mutex> lock(async_proxy_kernels_mutex);
  return async_proxy_kernels.count(kernel) != 0;
}

// The program's own thread-local block, which holds every static
// `__shared__` variable and the dynamic shared buffer: on x86-64 it ends at
// the thread pointer, at the same offsets in every host thread. Its
// initialised part comes first, the zero-initialised part after it.
struct ProgramTls {
  size_t bytes = 0;       // of the whole block, aligned
  size_t memory = 0;      // of the variables
  size_t initialised = 0; // of the initialised part
};

const ProgramTls& program_tls() {
  static const ProgramTls tls = [] {
    ProgramTls found;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
          for (int i = 0; i < info->dlpi_phnum; ++i) {
            const ElfW(Phdr)& header = info->dlpi_phdr[i];
            if (header.p_type != PT_TLS) continue;
            auto* t = static_cast<ProgramTls*>(out);
            const size_t align = header.p_align == 0 ? 1 : header.p_align;
            t->bytes = (header.p_memsz + align - 1) / align * align;
            t->memory = header.p_memsz;
            t->initialised = header.p_filesz;
          }
          return 1;  // the program is the first object
        },
        &found);
    return found;
  }();
  return tls;
}

size_t program_tls_bytes() { return program_tls().bytes; }

void fill(unsigned char* begin, unsigned char* end, unsigned char byte) {
  if (begin < end) std::memset(begin, byte, static_cast<size_t>(end - begin));
}

// The zero-initialised part of the calling host thread's program block.
struct ZeroedTls {
  unsigned char* begin;
  unsigned char* end;
};

ZeroedTls zeroed_tls() {
  const ProgramTls& tls = program_tls();
  auto* block = static_cast<unsigned char*>(__builtin_thread_pointer()) - tls.bytes;
  return ZeroedTls{block + tls.initialised, block + tls.memory};
}

// Sets up the executor's own lazily initialised thread-local state (the
// constant-read cache, the dynamic shared buffer's initialisation guard, the
// fiber switch's records) and returns its objects.
std::vector<std::pair<const void*, size_t>> set_up_executor_tls() {
  std::vector<std::pair<const void*, size_t>> objects;
  size_t cache_bytes = 0;
  const void* cache = constant_read_cache(&cache_bytes);
  objects.emplace_back(cache, cache_bytes);
  host_thread_dynamic_shared();
  fiber_thread_state(&objects);
  return objects;
}

// Offsets in the zero-initialised part that setting the executor's state up
// writes (its objects and guards): poisoning spares them. Found once, on a
// fresh host thread, by comparing the part before and after.
const std::vector<bool>& spared_tls() {
  static const std::vector<bool> spared = [] {
    std::vector<bool> written;
    std::thread fresh([&written] {
      const ZeroedTls tls = zeroed_tls();
      const std::vector<unsigned char> before(tls.begin, tls.end);
      const auto objects = set_up_executor_tls();
      written.assign(before.size(), false);
      for (size_t i = 0; i < before.size(); ++i) written[i] = tls.begin[i] != before[i];
      for (const auto& [address, bytes] : objects) {
        const auto* first = static_cast<const unsigned char*>(address);
        for (const unsigned char* at = first; at < first + bytes; ++at) {
          if (at >= tls.begin && at < tls.end) written[static_cast<size_t>(at - tls.begin)] = true;
        }
      }
    });
    fresh.join();
    return written;
  }();
  return spared;
}

// Under AddressSanitizer the shadow of a reused thread stack, which holds a
// fresh host thread's thread-local block, can still mark it as old frames.
void clear_stale_shadow() {
  const ZeroedTls tls = zeroed_tls();
  ASAN_UNPOISON_MEMORY_REGION(tls.begin, static_cast<size_t>(tls.end - tls.begin));
}

// Poisons the zero-initialised thread-local storage of the calling host
// thread, where the static `__shared__` variables are. The executor's own
// state there is set up first and spared, or written before it is read.
// Nothing is poisoned when the block does not lie where it should.
void poison_fresh_thread_storage() {
  const ZeroedTls tls = zeroed_tls();
  const auto* probe = reinterpret_cast<const unsigned char*>(&current_cluster);  // zero-initialised
  if (probe < tls.begin || probe >= tls.end) return;
  // A C++ runtime linked into the program would keep its exception state here.
  const auto* exceptions = reinterpret_cast<const unsigned char*>(abi::__cxa_get_globals());
  if (exceptions >= tls.begin && exceptions < tls.end) return;
  const std::vector<bool>& spared = spared_tls();
  if (spared.size() != static_cast<size_t>(tls.end - tls.begin)) return;
  set_up_executor_tls();
  size_t run = 0;  // start of the current stretch to poison
  for (size_t i = 0; i <= spared.size(); ++i) {
    if (i == spared.size() || spared[i]) {
      fill(tls.begin + run, tls.begin + i, poison_byte);
      run = i + 1;
    }
  }
}

// Installs and clears what the host thread's fibers see of their block.
class ResidentScope {
 public:
  ResidentScope(ClusterRun* cluster, const GridLaunch& launch, uint3 block_idx) {
    current_cluster = cluster;
    ExecutionState& state = execution_state();
    state.device = launch.device;
    state.compute_capability = launch.compute_capability;
    state.dynamic_shared = host_thread_dynamic_shared();
    gridDim = launch.grid;
    blockDim = launch.block;
    blockIdx = block_idx;
  }
  ~ResidentScope() {
    execution_state() = ExecutionState{};
    current_cluster = nullptr;
  }
};

}  // namespace

ClusterRun* running_cluster() { return current_cluster; }

void ClusterRun::note_async_proxy_kernel() {
  std::lock_guard<std::mutex> lock(async_proxy_kernels_mutex);
  async_proxy_kernels.insert(launch_.kernel);
}

ClusterRun::ClusterRun(const GridLaunch& launch, uint3 first_block, const std::function<void()>& body,
                       const ExecutionSettings& settings, FiberStackPool& stacks, bool own_host_thread)
    : launch_(launch),
      first_block_(first_block),
      cluster_dim_{launch.cluster.x, launch.cluster.y, launch.cluster.z},
      body_(body),
      settings_(settings),
      stacks_(stacks),
      own_host_thread_(own_host_thread),
      blocks_(cluster_dim_.x * cluster_dim_.y * cluster_dim_.z) {
  // Every cluster of a launch gets its own reproducible draw from the seed.
  const uint64_t position =
      (uint64_t{first_block.z} * launch.grid.y + first_block.y) * launch.grid.x + first_block.x;
  std::seed_seq sequence{static_cast<uint32_t>(settings.seed), static_cast<uint32_t>(settings.seed >> 32),
                         static_cast<uint32_t>(position), static_cast<uint32_t>(position >> 32)};
  random_.seed(sequence);
  cluster_threads_ = static_cast<unsigned>(blocks_.size()) * launch.block.x * launch.block.y * launch.block.z;
}

ClusterRun::~ClusterRun() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  turn_changed_.notify_all();
  for (Resident& resident : blocks_) {
    if (resident.host.joinable()) resident.host.join();
  }
}

bool ClusterRun::run(std::string* fault) {
  if (blocks_.size() == 1 && (!settings_.poison || own_host_thread_)) {
    // Alone: the block runs on the calling host thread. Kind, it shares that
    // thread's static shared memory with the blocks before and after it;
    // poisoned, on the grid's own host thread, it finds it poisoned afresh.
    host_thread(0, own_host_thread_);
  } else {
    start_host_threads();
  }
  if (fault_.empty()) return true;
  *fault = fault_;
  return false;
}

void ClusterRun::start_host_threads() {
  for (unsigned rank = 0; rank < blocks_.size(); ++rank) {
    try {
      blocks_[rank].host = std::thread([this, rank] { host_thread(rank, true); });
    } catch (const std::exception& error) {
      std::lock_guard<std::mutex> lock(mutex_);
      finish(std::string("start a host thread for a block: ") + error.what());
      break;
    }
  }
  // Each host thread ends once the cluster has finished and its block is torn down.
  for (Resident& resident : blocks_) {
    if (resident.host.joinable()) resident.host.join();
  }
}

// Called by the last block to be ready, holding the lock.
void ClusterRun::start_schedule() {
  // The blocks start in rank order, or in the schedule's order of them.
  std::vector<unsigned> ranks(blocks_.size());
  for (unsigned rank = 0; rank < ranks.size(); ++rank) ranks[rank] = rank;
  if (settings_.schedule == ScheduleKind::reverse) std::reverse(ranks.begin(), ranks.end());
  if (settings_.schedule == ScheduleKind::shuffle) std::shuffle(ranks.begin(), ranks.end(), random_);
  for (unsigned rank : ranks) {
    std::vector<unsigned> threads(blocks_[rank].run->thread_count());
    for (unsigned i = 0; i < threads.size(); ++i) threads[i] = i;
    make_runnable(rank, std::move(threads));
  }
  turn_ = static_cast<int>(queue_.front().rank);
  turn_changed_.notify_all();
}

void ClusterRun::host_thread(unsigned rank, bool fresh) {
  if (fresh) {
    clear_stale_shadow();
    if (settings_.poison) poison_fresh_thread_storage();
  }
  Resident& resident = blocks_[rank];
  const uint3 in_cluster{rank % cluster_dim_.x, (rank / cluster_dim_.x) % cluster_dim_.y,
                         rank / (cluster_dim_.x * cluster_dim_.y)};
  const uint3 block_idx{first_block_.x + in_cluster.x, first_block_.y + in_cluster.y,
                        first_block_.z + in_cluster.z};
  ResidentScope scope(this, launch_, block_idx);
  const uintptr_t thread_pointer = reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
  resident.tls_high = thread_pointer;
  resident.tls_low = thread_pointer - program_tls_bytes();
  resident.dynamic_shared = host_thread_dynamic_shared();
  // A fresh host thread starts with static shared memory zeroed, or poisoned
  // when asked; the dynamic part the same.
  std::memset(resident.dynamic_shared, settings_.poison ? poison_byte : 0, launch_.dynamic_shared_bytes);
  std::unique_lock<std::mutex> lock(mutex_);
  std::unique_ptr<BlockRun> block;
  try {
    block = std::make_unique<BlockRun>(*this, rank, block_idx, uint3{launch_.block.x, launch_.block.y, launch_.block.z},
                                       body_, stacks_);
  } catch (const std::exception& error) {
    finish(std::string("set up a block: ") + error.what());
    return;
  }
  resident.run = block.get();
  block->shadow().watch(resident.dynamic_shared, launch_.dynamic_shared_bytes, settings_.poison ? poison_byte : 0);
  if (uses_async_proxy(launch_.kernel)) block->shadow().attribute(0);  // looks from the start
  BlockRun* previous = exchange_running_block(block.get());
  if (++ready_ == blocks_.size()) start_schedule();
  take_turns(rank, lock);
  // Suspended fibers unwind on their own host thread, one block at a time.
  block.reset();
  resident.run = nullptr;
  exchange_running_block(previous);
}

void ClusterRun::take_turns(unsigned rank, std::unique_lock<std::mutex>& lock) {
  BlockRun& block = *blocks_[rank].run;
  for (;;) {
    turn_changed_.wait(lock, [this, rank] { return finished_ || turn_ == static_cast<int>(rank); });
    if (finished_) return;
    while (!queue_.empty() && queue_.front().rank == rank) {
      const Entry next = queue_.front();
      queue_.pop_front();
      try {
        block.resume(next.thread);
      } catch (const std::exception& error) {
        finish(block.block_name() + ": " + error.what());
        return;
      }
      if (!block.fault().empty()) {
        finish(block.fault());
        return;
      }
      if (polls_without_progress_ > queue_.size()) {
        finish(describe_stall());
        return;
      }
    }
    if (queue_.empty()) {
      std::string stalled;
      for (const Resident& resident : blocks_) {
        if (!resident.run->finished()) {
          stalled = resident.run->block_name() + ": " + resident.run->describe_deadlock();
          break;
        }
      }
      finish(stalled);
      return;
    }
    turn_ = static_cast<int>(queue_.front().rank);
    turn_changed_.notify_all();
  }
}

void ClusterRun::finish(const std::string& fault) {
  if (fault_.empty()) fault_ = fault;
  finished_ = true;
  turn_changed_.notify_all();
}

std::string ClusterRun::describe_stall() const {
  const Entry& waiting = queue_.back();
  const BlockRun& block = *blocks_[waiting.rank].run;
  const uint3 t{waiting.thread % launch_.block.x, (waiting.thread / launch_.block.x) % launch_.block.y,
                waiting.thread / (launch_.block.x * launch_.block.y)};
  return block.block_name() + ", thread (" + std::to_string(t.x) + "," + std::to_string(t.y) + "," +
         std::to_string(t.z) + "): waits for a barrier phase that no thread can complete any more";
}

void ClusterRun::make_runnable(unsigned rank, std::vector<unsigned> threads) {
  note_progress();
  switch (settings_.schedule) {
    case ScheduleKind::ordered: std::sort(threads.begin(), threads.end()); break;
    case ScheduleKind::reverse: std::sort(threads.rbegin(), threads.rend()); break;
    case ScheduleKind::shuffle: std::shuffle(threads.begin(), threads.end(), random_); break;
  }
  for (unsigned thread : threads) queue_.push_back(Entry{rank, thread});
}

void ClusterRun::requeue_poller(unsigned rank, unsigned thread) {
  ++polls_without_progress_;
  queue_.push_back(Entry{rank, thread});
}

void ClusterRun::cluster_arrive(unsigned rank, unsigned thread) {
  BlockRun& arriving = *blocks_[rank].run;
  if (arriving.cluster_arrival(thread) == cluster_phase_ + 1) {
    arriving.fail("barrier.cluster.arrive twice in one phase");
  }
  arriving.cluster_arrival(thread) = cluster_phase_ + 1;
  if (++cluster_arrived_ < cluster_threads_) return;
  cluster_arrived_ = 0;
  ++cluster_phase_;
  for (unsigned r = 0; r < blocks_.size(); ++r) {
    BlockRun& block = *blocks_[r].run;
    std::vector<unsigned> waiting;
    for (unsigned i = 0; i < block.thread_count(); ++i) {
      if (block.at_cluster_barrier(i)) {
        block.release_from_cluster_barrier(i);
        waiting.push_back(i);
      }
    }
    if (!waiting.empty()) make_runnable(r, std::move(waiting));
  }
}

bool ClusterRun::cluster_phase_passed(unsigned rank, unsigned thread) const {
  return blocks_[rank].run->cluster_arrival(thread) <= cluster_phase_;
}

void* ClusterRun::map_shared(const void* address, unsigned from, unsigned to) const {
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  const Resident& source = blocks_[from];
  if (at < source.tls_low || at >= source.tls_high || to >= blocks_.size()) return nullptr;
  return reinterpret_cast<void*>(at - source.tls_high + blocks_[to].tls_high);
}

}  // namespace hostgpu::detail
