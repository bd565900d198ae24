#include "exec_grid_run.h"

#include <cxxabi.h>
#include <link.h>
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#include "exec_block.h"
#include "exec_cluster.h"
#include "exec_state.h"
#include "exec_tensor_memory.h"
#include "hostgpu/device_coordinates.h"
#include "hostgpu/device_mbarrier.h"
#include "hostgpu/device_shared.h"

namespace hostgpu::detail {
namespace {

// Zero-initialised, so it lies in the part of the program's thread-local
// block that poisoning fills: where that part is found.
thread_local const void* tls_probe = nullptr;

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
// fresh host thread's thread-local block, can still mark it as old frames:
// both its initialised and its zero-initialised part.
void clear_stale_shadow() {
  const size_t bytes = program_tls().bytes;
  ASAN_UNPOISON_MEMORY_REGION(static_cast<unsigned char*>(__builtin_thread_pointer()) - bytes, bytes);
}

// Poisons the zero-initialised thread-local storage of the calling host
// thread, where the static `__shared__` variables are. The executor's own
// state there is set up first and spared, or written before it is read.
// Nothing is poisoned when the block does not lie where it should.
void poison_thread_storage() {
  const ZeroedTls tls = zeroed_tls();
  const auto* probe = reinterpret_cast<const unsigned char*>(&tls_probe);
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

std::string thread_label(const BlockRun& block, unsigned thread) {
  return block.block_name() + ", " + block.thread_name(thread);
}

// Turns without a change after which spinning threads are taken to be stuck
// (a lock no one releases, a flag no one sets).
constexpr uint64_t kLivelockTurns = uint64_t{1} << 22;

}  // namespace

GridRun::GridRun(const GridLaunch& launch, const std::function<void()>& body, const ExecutionSettings& settings,
                 FiberStackPool& stacks)
    : launch_(launch), body_(body), settings_(settings), stacks_(stacks) {
  std::seed_seq sequence{static_cast<uint32_t>(settings.seed), static_cast<uint32_t>(settings.seed >> 32)};
  random_.seed(sequence);
  const dim3 c = launch.cluster;
  cluster_blocks_ = c.x * c.y * c.z;
  cluster_count_ = uint64_t{launch.grid.x / c.x} * (launch.grid.y / c.y) * (launch.grid.z / c.z);
  if (settings.resident) {
    // Lone blocks interleave two at a time: more adds host-thread hand-offs
    // to every block of the large grids, and no tensor memory to share.
    const unsigned most = cluster_blocks_ == 1 ? kMaxResidentLoneBlocks : kMaxResidentClusters;
    const unsigned admitted = launch.blocks_per_sm == 0 ? most : launch.blocks_per_sm;
    per_sm_ = std::max(1u, std::min(admitted, most));
    if (per_sm_ > cluster_count_) per_sm_ = static_cast<unsigned>(cluster_count_);
  }
  plan_slots();
  tensor_memory_.resize(cluster_blocks_);
}

GridRun::~GridRun() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    for (auto& slot : slots_) slot->turn.notify_all();
  }
  for (auto& slot : slots_) {
    if (slot->host.joinable()) slot->host.join();
  }
}

void GridRun::plan_slots() {
  // SM s holds rank s of every resident cluster.
  const size_t count = size_t{cluster_blocks_} * per_sm_;
  for (size_t i = 0; i < count; ++i) {
    auto slot = std::make_unique<Slot>();
    slot->index = static_cast<unsigned>(i);
    slot->sm = static_cast<unsigned>(i / per_sm_);
    slots_.push_back(std::move(slot));
  }
  // A lone kind block runs on the launching host thread; everything else on
  // host threads of the launch's own, whose storage can be poisoned.
  slots_[0]->calling_thread = count == 1 && !settings_.poison;
}

bool GridRun::chance(unsigned one_in) { return one_in <= 1 || random_() % one_in == 0; }

Slot* GridRun::free_slot(unsigned sm, Slot* preferred) {
  // A block just retired: its host thread, which holds the turn, sets the
  // next one up without handing the turn on.
  if (preferred != nullptr && preferred->sm == sm && preferred->cluster == nullptr) return preferred;
  std::vector<Slot*> free;
  for (unsigned p = 0; p < per_sm_; ++p) {
    Slot& slot = *slots_[sm * per_sm_ + p];
    if (slot.cluster == nullptr) free.push_back(&slot);
  }
  if (free.empty()) return nullptr;
  if (free.size() > 1 && settings_.schedule == ScheduleKind::shuffle) return free[random_() % free.size()];
  return free.front();
}

// Places the next clusters of the grid while every SM has a free slot.
void GridRun::dispatch(Slot* preferred) {
  const dim3 c = launch_.cluster;
  const uint64_t across = launch_.grid.x / c.x;
  const uint64_t down = launch_.grid.y / c.y;
  while (next_cluster_ < cluster_count_) {
    // Past its first lone blocks a large grid runs one block at a time on
    // one host thread: interleaving every block of it would hand the turn
    // between host threads for each, for little more than its first ones show.
    if (cluster_blocks_ == 1 && next_cluster_ >= kInterleavedLoneBlocks && !resident_.empty()) return;
    std::vector<Slot*> chosen;
    for (unsigned sm = 0; sm < cluster_blocks_; ++sm) {
      Slot* slot = free_slot(sm, preferred);
      if (slot == nullptr) return;
      chosen.push_back(slot);
    }
    const uint64_t i = next_cluster_++;
    const uint3 first{static_cast<unsigned>(i % across) * c.x, static_cast<unsigned>((i / across) % down) * c.y,
                      static_cast<unsigned>(i / (across * down)) * c.z};
    resident_.push_back(std::make_unique<ClusterRun>(*this, first));
    ClusterRun* cluster = resident_.back().get();
    for (unsigned rank = 0; rank < cluster_blocks_; ++rank) {
      Slot& slot = *chosen[rank];
      cluster->place(rank, slot.index);
      slot.cluster = cluster;
      slot.rank = rank;
      slot.needs_set_up = true;
      if (!slot.calling_thread && !slot.thread_started) start_host_thread(slot);
    }
  }
}

void GridRun::start_host_thread(Slot& slot) {
  try {
    slot.host = std::thread([this, &slot] { host_thread(slot); });
    slot.thread_started = true;
  } catch (const std::exception& error) {
    finish(std::string("start a host thread for a block: ") + error.what());
  }
}

bool GridRun::run(std::string* fault) {
  std::unique_lock<std::mutex> lock(mutex_);
  dispatch();
  if (!finished_) {
    if (slots_[0]->calling_thread) {
      turn_ = 0;
      take_turns(*slots_[0], lock);
      tear_down(*slots_[0]);
    } else {
      // The first slot given a block sets it up first.
      for (const auto& slot : slots_) {
        if (slot->needs_set_up) {
          pass_turn(slot->index);
          break;
        }
      }
      done_.wait(lock, [this] { return finished_; });
    }
  }
  lock.unlock();
  for (auto& slot : slots_) {
    if (slot->host.joinable()) slot->host.join();
  }
  resident_.clear();
  if (fault_.empty()) return true;
  *fault = fault_;
  return false;
}

void GridRun::host_thread(Slot& slot) {
  clear_stale_shadow();
  std::unique_lock<std::mutex> lock(mutex_);
  take_turns(slot, lock);
  tear_down(slot);
}

void GridRun::pass_turn(unsigned to) {
  turn_ = static_cast<int>(to);
  slots_[to]->turn.notify_one();
}

void GridRun::take_turns(Slot& slot, std::unique_lock<std::mutex>& lock) {
  for (;;) {
    slot.turn.wait(lock, [this, &slot] { return finished_ || turn_ == static_cast<int>(slot.index); });
    if (finished_) return;
    for (;;) {
      if (finished_) return;
      if (slot.needs_set_up) {
        set_up(slot);
        continue;
      }
      int waiting = -1;
      for (const auto& other : slots_) {
        if (other->needs_set_up) {
          waiting = static_cast<int>(other->index);
          break;
        }
      }
      if (waiting >= 0) {
        pass_turn(static_cast<unsigned>(waiting));
        break;
      }
      const int next = pick();
      if (next < 0) return;
      if (next != static_cast<int>(slot.index)) {
        pass_turn(static_cast<unsigned>(next));
        break;
      }
      const Entry entry = queue_.front();
      queue_.pop_front();
      if (stale(entry)) --stale_queued_;
      BlockRun& block = *slot.block;
      try {
        block.resume(entry.thread);
      } catch (const std::exception& error) {
        finish(block.block_name() + ": " + error.what());
        return;
      }
      if (!block.fault().empty()) {
        finish(block.fault());
        return;
      }
      if (++turns_since_change_ > kLivelockTurns) {
        finish(thread_label(block, entry.thread) + ": " + std::to_string(kLivelockTurns) +
               " turns without any thread changing a barrier, an atomic or tensor memory (a spin that never ends)");
        return;
      }
      if (block.finished()) retire(slot);
    }
  }
}

void GridRun::set_up(Slot& slot) {
  if (settings_.poison && !slot.calling_thread) poison_thread_storage();
  ClusterRun& cluster = *slot.cluster;
  ExecutionState& state = execution_state();
  state.device = launch_.device;
  state.compute_capability = launch_.compute_capability;
  state.registers_per_thread = launch_.registers_per_thread;
  state.dynamic_shared = host_thread_dynamic_shared();
  gridDim = launch_.grid;
  blockDim = launch_.block;
  blockIdx = cluster.block_idx(slot.rank);
  tls_probe = this;
  const uintptr_t thread_pointer = reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
  slot.tls_high = thread_pointer;
  slot.tls_low = thread_pointer - program_tls().bytes;
  slot.dynamic_shared = host_thread_dynamic_shared();
  // Shared memory holds nothing defined when a block starts: zero on a kind
  // device, poison on a hostile one.
  std::memset(slot.dynamic_shared, settings_.poison ? poison_byte : 0, launch_.dynamic_shared_bytes);
  slot.needs_set_up = false;
  slot.fresh = false;
  BlockRun* block = nullptr;
  try {
    block = &cluster.make_block(slot.rank);
  } catch (const std::exception& error) {
    finish(std::string("set up a block: ") + error.what());
    return;
  }
  slot.block = block;
  block->shadow().watch(slot.dynamic_shared, launch_.dynamic_shared_bytes, settings_.poison ? poison_byte : 0);
  if (cluster.uses_async_proxy()) block->shadow().attribute(0);  // looks from the start
  exchange_running_block(block);
}

// The block of `slot` has returned from every thread.
void GridRun::retire(Slot& slot) {
  ClusterRun* cluster = slot.cluster;
  const std::string fault = cluster->exit_block(slot.rank);
  if (!fault.empty()) {
    finish(fault);
    return;
  }
  exchange_running_block(nullptr);
  slot.block = nullptr;
  slot.cluster = nullptr;
  if (cluster->all_exited()) {
    resident_.remove_if([cluster](const std::unique_ptr<ClusterRun>& c) { return c.get() == cluster; });
  }
  dispatch(&slot);
  if (resident_.empty() && next_cluster_ == cluster_count_) finish({});
}

// After the launch ended: the block still resident here unwinds on the host
// thread it ran on, one block at a time.
void GridRun::tear_down(Slot& slot) {
  if (slot.block != nullptr && slot.cluster != nullptr) slot.cluster->destroy_block(slot.rank);
  slot.block = nullptr;
  exchange_running_block(nullptr);
  execution_state() = ExecutionState{};
}

void GridRun::finish(const std::string& fault) {
  if (fault_.empty() && !fault.empty()) fault_ = fault;
  finished_ = true;
  for (auto& slot : slots_) slot->turn.notify_all();
  done_.notify_all();
}

bool GridRun::stale(const Entry& entry) const {
  const Slot& slot = *slots_[entry.slot];
  return slot.block != nullptr && slot.block->poll_epoch(entry.thread) == epoch_;
}

void GridRun::push(const Entry& entry, bool front) {
  if (stale(entry)) ++stale_queued_;
  if (front) {
    queue_.push_front(entry);
  } else {
    queue_.push_back(entry);
  }
}

void GridRun::note_change() {
  ++epoch_;
  stale_queued_ = 0;
  turns_since_change_ = 0;
}

void GridRun::push_ahead(unsigned slot, const std::vector<unsigned>& threads) {
  for (auto t = threads.rbegin(); t != threads.rend(); ++t) push(Entry{slot, *t}, true);
}

void GridRun::make_runnable(unsigned slot, std::vector<unsigned> threads) {
  note_change();
  switch (settings_.schedule) {
    case ScheduleKind::ordered: std::sort(threads.begin(), threads.end()); break;
    case ScheduleKind::reverse: std::sort(threads.rbegin(), threads.rend()); break;
    case ScheduleKind::shuffle: std::shuffle(threads.begin(), threads.end(), random_); break;
  }
  if (settings_.run_ahead && !threads.empty()) {
    const bool leader_only = lead_.releases_left > 0 && slot == lead_.slot &&
                             std::all_of(threads.begin(), threads.end(),
                                         [this](unsigned t) { return t / 32 == lead_.warp; });
    if (leader_only) {
      // A warp whose peers are stalled goes through its own collectives
      // (shuffles, ldmatrix, mma.sync) ahead of them, until it waits for them.
      --lead_.releases_left;
      push_ahead(slot, threads);
      return;
    }
    lead_.releases_left = 0;
    if (threads.size() > 1 && chance(4)) {
      // One warp of the released threads runs ahead: to the front of the
      // queue, now and then keeping its lead for several collectives.
      const unsigned warp = threads[random_() % threads.size()] / 32;
      // Sometimes until it waits for the others: a warp's run of MMAs and
      // shuffles between two block barriers can be hundreds of collectives.
      const unsigned releases = chance(2) ? 0u : chance(2) ? static_cast<unsigned>(random_() % 64) : ~0u;
      lead_ = Lead{slot, warp, releases};
      std::vector<unsigned> ahead;
      std::vector<unsigned> rest;
      for (unsigned t : threads) (t / 32 == warp ? ahead : rest).push_back(t);
      push_ahead(slot, ahead);
      threads = std::move(rest);
    }
  }
  for (unsigned thread : threads) push(Entry{slot, thread}, false);
}

void GridRun::requeue_poller(unsigned slot, unsigned thread) { push(Entry{slot, thread}, false); }

void GridRun::requeue_yield(unsigned slot, unsigned thread) { push(Entry{slot, thread}, false); }

int GridRun::pick() {
  for (;;) {
    if (finished_) return -1;
    if (!queue_.empty() && stale_queued_ < queue_.size()) {
      // Now and then an arrival lands, or a held-back block starts, early.
      if (!posted_.empty() && chance(32) && deliver_one(true)) continue;
      if (settings_.stagger && chance(64) && start_delayed_block()) continue;
      return static_cast<int>(queue_.front().slot);
    }
    // Nothing in the queue can move on its own.
    if (start_delayed_block()) continue;
    if (deliver_one(false)) continue;
    finish(queue_.empty() ? describe_deadlock() : describe_stall());
    return -1;
  }
}

bool GridRun::start_delayed_block() {
  for (auto& cluster : resident_) {
    if (cluster->start_delayed_block()) return true;
  }
  return false;
}

std::string GridRun::describe_stall() const {
  const Entry* chosen = nullptr;
  for (const Entry& entry : queue_) {
    const BlockRun& block = *slots_[entry.slot]->block;
    if (chosen == nullptr || block.waits_for(entry.thread) != nullptr) chosen = &entry;
    if (block.waits_for(entry.thread) != nullptr) break;
  }
  const BlockRun& block = *slots_[chosen->slot]->block;
  const std::string what = tensor_memory_wait_report(*const_cast<GridRun*>(this), block, chosen->thread);
  if (!what.empty()) return thread_label(block, chosen->thread) + ": " + what;
  const char* waits = block.waits_for(chosen->thread);
  return thread_label(block, chosen->thread) + ": waits for " + (waits ? waits : "a barrier phase") +
         " that no thread can complete any more";
}

std::string GridRun::describe_deadlock() const {
  for (const auto& slot : slots_) {
    if (slot->block != nullptr && !slot->block->finished()) {
      return slot->block->block_name() + ": " + slot->block->describe_deadlock();
    }
  }
  return "no block can run and none has finished";
}

// ---- arrivals in flight ------------------------------------------------------

void GridRun::post(BlockRun& issuer, unsigned thread, std::vector<Target> targets, ArrivalAction action) {
  posted_.push_back(Posted{next_post_++, &issuer, thread, std::move(targets), std::move(action)});
}

std::string GridRun::arrival_in_flight_for(const ClusterRun* cluster, unsigned rank) const {
  for (const Posted& posted : posted_) {
    for (const Target& target : posted.targets) {
      if (!target.landed && target.cluster == cluster && target.rank == rank) {
        return "an mbarrier arrival posted by " + thread_label(*posted.issuer, posted.thread);
      }
    }
  }
  return {};
}

// Lands one arrival in flight: one that a waiting thread polls for if there
// is any, so that the rest stay in flight as long as nothing needs them.
bool GridRun::deliver_one(bool needed_only) {
  std::vector<const void*> polled;
  for (const Entry& entry : queue_) {
    if (const void* barrier = slots_[entry.slot]->block->polled_barrier(entry.thread)) polled.push_back(barrier);
  }
  const auto wanted = [&polled](const Target& target) {
    return std::find(polled.begin(), polled.end(), target.barrier) != polled.end();
  };
  for (const bool only_wanted : {true, false}) {
    if (!only_wanted && needed_only) break;
    size_t pending = 0;
    for (const Posted& posted : posted_) {
      for (const Target& target : posted.targets) pending += !target.landed && (!only_wanted || wanted(target));
    }
    if (pending == 0) continue;
    size_t pick = settings_.schedule == ScheduleKind::shuffle ? random_() % pending : 0;
    for (Posted& posted : posted_) {
      for (size_t t = 0; t < posted.targets.size(); ++t) {
        const Target& target = posted.targets[t];
        if (target.landed || (only_wanted && !wanted(target))) continue;
        if (pick-- == 0) {
          deliver(posted, t);
          return true;
        }
      }
    }
  }
  return false;
}

// Runs, in post order, the actions of the issuing thread's posts up to and
// including `posted`, as the work a commit tracks completes in order.
void GridRun::run_actions_up_to(const Posted& posted) {
  for (Posted& earlier : posted_) {
    if (earlier.order > posted.order) break;
    if (earlier.acted || earlier.issuer != posted.issuer || earlier.thread != posted.thread) continue;
    earlier.acted = true;
    if (!earlier.action) continue;
    BlockRun* previous = exchange_running_block(earlier.issuer);
    const unsigned replaced = earlier.issuer->act_as(earlier.thread);
    try {
      earlier.action();
    } catch (const KernelFault&) {
    } catch (const std::exception& error) {
      if (fault_.empty()) finish(thread_label(*earlier.issuer, earlier.thread) + ": " + error.what());
    }
    earlier.issuer->act_as(replaced);
    exchange_running_block(previous);
    if (!earlier.issuer->fault().empty()) finish(earlier.issuer->fault());
    if (finished_) return;
  }
}

void GridRun::deliver(Posted& posted, size_t index) {
  run_actions_up_to(posted);
  if (finished_) return;
  Target& target = posted.targets[index];
  if (target.cluster->exited(target.rank)) {
    finish("an mbarrier arrival posted by " + thread_label(*posted.issuer, posted.thread) + " lands on " +
           target.cluster->block(target.rank).block_name() + ", which has exited");
    return;
  }
  mbarrier::apply_arrival(target.barrier, target.count);
  target.landed = true;
  note_change();
  const bool done = std::all_of(posted.targets.begin(), posted.targets.end(),
                                [](const Target& t) { return t.landed; });
  if (done) {
    const uint64_t order = posted.order;
    posted_.remove_if([order](const Posted& p) { return p.order == order; });
  }
}

SmTensorMemory& GridRun::sm_tensor_memory(unsigned sm) {
  SmTensorMemory& sm_memory = tensor_memory_[sm];
  if (!sm_memory.memory) {
    sm_memory.memory = std::make_unique<TensorMemory>();
    // Undefined until written: a pattern, so that reading first shows.
    std::memset(sm_memory.memory->cells, 0xa5, sizeof(sm_memory.memory->cells));
  }
  return sm_memory;
}

}  // namespace hostgpu::detail
