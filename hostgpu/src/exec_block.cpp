#include "exec_block.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

#include "exec_cluster.h"
#include "exec_grid_run.h"
#include "exec_settings.h"
#include "hostgpu/device_coordinates.h"

namespace hostgpu::detail {
namespace {

thread_local BlockRun* current_block = nullptr;

const char* op_name(WarpOp op) {
  switch (op) {
    case WarpOp::sync: return "__syncwarp";
    case WarpOp::shfl_idx: return "__shfl_sync";
    case WarpOp::shfl_up: return "__shfl_up_sync";
    case WarpOp::shfl_down: return "__shfl_down_sync";
    case WarpOp::shfl_xor: return "__shfl_xor_sync";
    case WarpOp::ballot: return "__ballot_sync";
    case WarpOp::any: return "__any_sync";
    case WarpOp::all: return "__all_sync";
    case WarpOp::exchange: return "a warp-collective instruction";
  }
  return "warp operation";
}

bool is_shuffle(WarpOp op) {
  return op == WarpOp::shfl_idx || op == WarpOp::shfl_up || op == WarpOp::shfl_down || op == WarpOp::shfl_xor;
}

std::string hex_mask(unsigned mask) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", mask);
  return text;
}

std::string triple(uint3 v) {
  return "(" + std::to_string(v.x) + "," + std::to_string(v.y) + "," + std::to_string(v.z) + ")";
}

// Makes the block the running one for as long as it runs or unwinds.
class RunningBlockScope {
 public:
  explicit RunningBlockScope(BlockRun* block) : previous_(std::exchange(current_block, block)) {}
  ~RunningBlockScope() { current_block = previous_; }

 private:
  BlockRun* previous_;
};

BlockRun& require_running_block(const char* what) {
  if (current_block == nullptr) throw std::logic_error(std::string(what) + " called outside a kernel");
  return *current_block;
}

}  // namespace

BlockRun* running_block() { return current_block; }

BlockRun* exchange_running_block(BlockRun* block) { return std::exchange(current_block, block); }

BlockRun::BlockRun(ClusterRun& cluster, unsigned rank, unsigned slot, uint3 block_idx, uint3 block_dim,
                   const std::function<void()>& body, FiberStackPool& stacks)
    : cluster_(cluster),
      rank_(rank),
      slot_(slot),
      block_idx_(block_idx),
      block_dim_(block_dim),
      thread_count_(block_dim.x * block_dim.y * block_dim.z),
      body_(body),
      stacks_(stacks),
      threads_(thread_count_),
      warp_arrived_((thread_count_ + 31) / 32, 0u),
      warp_generation_((thread_count_ + 31) / 32, 0u) {}

BlockRun::~BlockRun() {
  // Unwinds the stacks of threads still suspended after a fault.
  RunningBlockScope scope(this);
  for (Thread& thread : threads_) thread.fiber = boost::context::fiber();
}

void BlockRun::resume(unsigned index) {
  Thread& thread = threads_[index];
  running_ = index;
  threadIdx = uint3{index % block_dim_.x, (index / block_dim_.x) % block_dim_.y,
                                 index / (block_dim_.x * block_dim_.y)};
  if (thread.state == State::not_started) {
    thread.state = State::runnable;
    thread.fiber = boost::context::fiber(std::allocator_arg, PooledFiberStack{&stacks_},
                                         [this, index](boost::context::fiber&& scheduler) {
                                           return thread_main(index, std::move(scheduler));
                                         });
  }
  in_fiber_ = true;
  thread.fiber = std::move(thread.fiber).resume();
  in_fiber_ = false;
}

boost::context::fiber BlockRun::thread_main(unsigned index, boost::context::fiber&& scheduler) {
  scheduler_ = std::move(scheduler);
  try {
    body_();
    threads_[index].async_copies.complete_all();
  } catch (const boost::context::detail::forced_unwind&) {
    throw;  // the block is being torn down after a fault
  } catch (const KernelFault&) {
  } catch (const std::exception& error) {
    if (fault_.empty()) fault_ = block_name() + ", " + thread_name(index) + ": exception in kernel: " + error.what();
  } catch (...) {
    if (fault_.empty()) fault_ = block_name() + ", " + thread_name(index) + ": exception in kernel";
  }
  if (shadow_.active()) shadow_.attribute(index);
  threads_[index].state = State::returned;
  ++returned_;
  cluster_.note_change();
  if (fault_.empty()) {
    try {
      complete_after_return(index / 32);
    } catch (const KernelFault&) {
    }
  }
  return std::move(scheduler_);
}

void BlockRun::suspend() {
  if (shadow_.active()) shadow_.attribute(running_);
  scheduler_ = std::move(scheduler_).resume();
}

void BlockRun::release(std::vector<unsigned> threads) {
  for (unsigned index : threads) threads_[index].state = State::runnable;
  cluster_.make_runnable(rank_, std::move(threads));
}

void BlockRun::poll_yield(const char* what) {
  if (!in_fiber_) fail(std::string("a wait (") + (what ? what : "a barrier phase") + ") in work that lands with an arrival");
  Thread& me = threads_[running_];
  // A test may fail once and the thread go on; a second failure with nothing
  // changed in between is a wait.
  const uint64_t epoch = cluster_.grid().change_epoch();
  if (me.first_poll_epoch == epoch) me.poll_epoch = epoch;
  me.first_poll_epoch = epoch;
  me.waits_for = what;
  cluster_.requeue_poller(rank_, running_);
  suspend();
}

void BlockRun::poll_satisfied() {
  Thread& me = threads_[running_];
  me.first_poll_epoch = kNoPoll;
  me.poll_epoch = kNoPoll;
  me.waits_for = nullptr;
  me.polled_barrier = nullptr;
}

void BlockRun::yield() {
  if (!in_fiber_) return;
  cluster_.requeue_yield(rank_, running_);
  suspend();
}

void BlockRun::cluster_wait() {
  const unsigned self = running_;
  Thread& me = threads_[self];
  if (me.cluster_arrival == 0) fail("barrier.cluster.wait without a barrier.cluster.arrive before it");
  ++me.sync_waits;
  if (!cluster_.cluster_phase_passed(rank_, self)) {
    me.state = State::at_cluster_barrier;
    suspend();
  }
  me.cluster_waited = me.cluster_arrival;
}

unsigned long long BlockRun::cluster_phases_waited() const {
  unsigned long long most = 0;
  for (const Thread& thread : threads_) most = std::max(most, thread.cluster_waited);
  return most;
}

const BarrierRecord* BlockRun::barrier_record(const void* barrier) const {
  const auto found = barriers_.find(barrier);
  return found == barriers_.end() ? nullptr : &found->second;
}

void BlockRun::fence_barrier_inits(unsigned thread) {
  for (auto& [barrier, record] : barriers_) {
    if (record.init_thread == thread) record.async_visible = true;
  }
}

void BlockRun::signal_sync(const char* how) {
  const char* held = threads_[running_].unfenced;
  if (held != nullptr) {
    fail(std::string(held) + " then " + how + " with no tcgen05.fence::before_thread_sync between them");
  }
}

void* BlockRun::state(const void* key, size_t bytes) {
  std::vector<unsigned char>& storage = states_[key];
  if (storage.empty()) storage.assign(bytes, 0);
  if (storage.size() != bytes) fail("block state asked for with two different sizes");
  return storage.data();
}

void BlockRun::fail(const std::string& reason) {
  if (fault_.empty()) fault_ = block_name() + ", " + thread_name(running_) + ": " + reason;
  throw KernelFault{};
}

int BlockRun::barrier(BarrierReduction reduction, int predicate) {
  const unsigned self = running_;
  signal_sync("__syncthreads()");
  ++threads_[self].sync_waits;
  ++barrier_arrived_;
  if (predicate != 0) ++barrier_true_;
  threads_[self].state = State::at_barrier;
  if (barrier_arrived_ == thread_count_) {
    ++barrier_generation_;
    barrier_result_ = barrier_true_;
    barrier_arrived_ = 0;
    barrier_true_ = 0;
    // The last arrival waits its turn with the others.
    std::vector<unsigned> waiting;
    waiting.reserve(thread_count_);
    for (unsigned i = 0; i < thread_count_; ++i) {
      if (threads_[i].state == State::at_barrier) waiting.push_back(i);
    }
    release(std::move(waiting));
  }
  suspend();
  threads_[self].barriers_passed = barrier_generation_;
  // The result stays until every thread has left the barrier: the next one
  // cannot complete before then.
  switch (reduction) {
    case BarrierReduction::none: return 0;
    case BarrierReduction::count: return static_cast<int>(barrier_result_);
    case BarrierReduction::all: return barrier_result_ == thread_count_ ? 1 : 0;
    case BarrierReduction::any: return barrier_result_ != 0 ? 1 : 0;
  }
  return 0;
}

unsigned BlockRun::existing_lanes(unsigned warp) const {
  const unsigned first = warp * 32;
  return thread_count_ - first >= 32 ? 0xffffffffu : (1u << (thread_count_ - first)) - 1u;
}

unsigned BlockRun::active_lanes() const {
  const unsigned warp = running_ / 32;
  unsigned lanes = 0;
  for (unsigned lane = 0; lane < 32 && warp * 32 + lane < thread_count_; ++lane) {
    if (threads_[warp * 32 + lane].state != State::returned) lanes |= 1u << lane;
  }
  return lanes;
}

unsigned long long BlockRun::warp_collective(WarpOp op, unsigned mask, unsigned long long value, int lane_argument,
                                             int width) {
  const unsigned self = running_;
  const unsigned warp = self / 32;
  const unsigned lane = self % 32;
  Thread& me = threads_[self];
  if (((mask >> lane) & 1u) == 0) {
    me.op = op;
    fail(op_label(me) + " with mask " + hex_mask(mask) + " that does not name the calling lane " +
         std::to_string(lane));
  }
  if (is_shuffle(op) && (width < 1 || width > 32 || (width & (width - 1)) != 0)) {
    fail(std::string(op_name(op)) + " with width " + std::to_string(width) + ", not a power of two from 1 to 32");
  }
  me.op = op;
  me.mask = mask;
  me.value = value;
  me.lane_argument = lane_argument;
  me.width = width;
  me.state = State::at_warp_op;
  warp_arrived_[warp] |= 1u << lane;
  const unsigned lanes = mask & participating_lanes(warp, op);
  if ((warp_arrived_[warp] & lanes) == lanes) complete_warp_op(warp, lanes, self);
  suspend();
  return me.result;
}

// Exited lanes named in a vote's, a shuffle's or a __syncwarp's mask take no
// part, as CUDA defines; the warp-collective instructions need every named lane.
unsigned BlockRun::participating_lanes(unsigned warp, WarpOp op) const {
  unsigned lanes = existing_lanes(warp);
  if (op == WarpOp::exchange) return lanes;
  for (unsigned lane = 0; lane < 32; ++lane) {
    if (((lanes >> lane) & 1u) && threads_[warp * 32 + lane].state == State::returned) lanes &= ~(1u << lane);
  }
  return lanes;
}

// A lane that returns may be the last one a waiting rendezvous of its warp needed.
void BlockRun::complete_after_return(unsigned warp) {
  for (unsigned lane = 0; lane < 32 && warp_arrived_[warp] != 0; ++lane) {
    if (((warp_arrived_[warp] >> lane) & 1u) == 0) continue;
    const unsigned index = warp * 32 + lane;
    const Thread& waiting = threads_[index];
    const unsigned lanes = waiting.mask & participating_lanes(warp, waiting.op);
    if ((warp_arrived_[warp] & lanes) == lanes) complete_warp_op(warp, lanes, index);
  }
}

void BlockRun::complete_warp_op(unsigned warp, unsigned lanes, unsigned reference) {
  const Thread& arriving = threads_[reference];
  for (unsigned lane = 0; lane < 32; ++lane) {
    if (((lanes >> lane) & 1u) == 0) continue;
    const Thread& other = threads_[warp * 32 + lane];
    const bool same_exchange = arriving.op != WarpOp::exchange || other.op != WarpOp::exchange ||
                               (std::strcmp(other.instruction, arriving.instruction) == 0 && other.value == arriving.value);
    if (other.op != arriving.op || other.mask != arriving.mask || !same_exchange) {
      fail(op_label(arriving) + " with mask " + hex_mask(arriving.mask) + " meets lane " + std::to_string(lane) +
           " at " + op_label(other) + " with mask " + hex_mask(other.mask));
    }
  }
  std::vector<unsigned long long> results(32, 0);
  if (arriving.op == WarpOp::exchange) {
    complete_exchange(warp, lanes, static_cast<unsigned>(arriving.value));
  } else {
    for (unsigned lane = 0; lane < 32; ++lane) {
      if ((lanes >> lane) & 1u) results[lane] = warp_op_result(warp, lane, lanes);
    }
  }
  std::vector<unsigned> released;
  ++warp_generation_[warp];
  for (unsigned lane = 0; lane < 32; ++lane) {
    if (((lanes >> lane) & 1u) == 0) continue;
    const unsigned index = warp * 32 + lane;
    threads_[index].result = results[lane];
    threads_[index].warp_syncs_passed = warp_generation_[warp];
    released.push_back(index);
  }
  warp_arrived_[warp] &= ~lanes;
  release(std::move(released));
}

// Every deposit is read now, while all the lanes wait: what each lane then
// reads from the table is what the warp saw at the instruction.
void BlockRun::complete_exchange(unsigned warp, unsigned lanes, unsigned bytes) {
  auto table = std::make_shared<std::vector<unsigned char>>(size_t{32} * bytes, 0);
  // `lanes` names existing lanes only: a partial warp has fewer than 32 threads.
  for (unsigned lane = 0; lane < 32; ++lane) {
    if (((lanes >> lane) & 1u) == 0) continue;
    const Thread& depositing = threads_[warp * 32 + lane];
    if (depositing.deposit != nullptr) std::memcpy(table->data() + size_t{lane} * bytes, depositing.deposit, bytes);
  }
  for (unsigned lane = 0; lane < 32; ++lane) {
    if ((lanes >> lane) & 1u) threads_[warp * 32 + lane].exchanged = table;
  }
}

const unsigned char* BlockRun::warp_exchange(const char* instruction, unsigned mask, const void* deposit,
                                             unsigned bytes) {
  Thread& me = threads_[running_];
  me.instruction = instruction;
  me.deposit = deposit;
  warp_collective(WarpOp::exchange, mask, bytes, 0, 32);
  me.deposit = nullptr;
  return me.exchanged->data();
}

std::string BlockRun::op_label(const Thread& thread) const {
  if (thread.op != WarpOp::exchange) return op_name(thread.op);
  return std::string(thread.instruction) + " (" + std::to_string(thread.value) + " bytes per lane)";
}

unsigned long long BlockRun::warp_op_result(unsigned warp, unsigned lane, unsigned lanes) const {
  const Thread& me = threads_[warp * 32 + lane];
  unsigned votes = 0;
  for (unsigned other = 0; other < 32; ++other) {
    if (((lanes >> other) & 1u) && threads_[warp * 32 + other].value != 0) votes |= 1u << other;
  }
  // Shuffles as the hardware defines them: the lane operand's low five bits,
  // segments of `width` lanes, and the lane's own value when the source lies
  // outside the segment's bounds.
  const int operand = me.lane_argument & 31;
  const int segment_first = static_cast<int>(lane) & ~(me.width - 1);
  const int segment_last = segment_first + me.width - 1;
  int source = static_cast<int>(lane);
  switch (me.op) {
    case WarpOp::sync:
    case WarpOp::exchange: return 0;  // an exchange's result is its table
    case WarpOp::ballot: return votes;
    case WarpOp::any: return votes != 0 ? 1 : 0;
    case WarpOp::all: return votes == lanes ? 1 : 0;
    case WarpOp::shfl_idx: source = segment_first | (operand & (me.width - 1)); break;
    case WarpOp::shfl_up: source = static_cast<int>(lane) - operand; if (source < segment_first) source = static_cast<int>(lane); break;
    case WarpOp::shfl_down: source = static_cast<int>(lane) + operand; if (source > segment_last) source = static_cast<int>(lane); break;
    case WarpOp::shfl_xor: source = static_cast<int>(lane) ^ operand; if (source > segment_last) source = static_cast<int>(lane); break;
  }
  // A source lane that takes no part has no defined value: it reads as poison.
  if (((lanes >> source) & 1u) == 0) return 0xA5A5A5A5A5A5A5A5ull;
  return threads_[warp * 32 + static_cast<unsigned>(source)].value;
}

std::string BlockRun::describe_deadlock() const {
  for (unsigned i = 0; i < thread_count_; ++i) {
    const Thread& waiting = threads_[i];
    if (waiting.state != State::at_warp_op) continue;
    const unsigned warp = i / 32;
    const unsigned named = waiting.mask & participating_lanes(warp, waiting.op);
    unsigned blocking = named & ~warp_arrived_[warp];
    if (blocking == 0) {
      // Every named lane is at a warp operation, but not at the same one.
      for (unsigned lane = 0; lane < 32; ++lane) {
        if (((named >> lane) & 1u) == 0) continue;
        const Thread& other = threads_[warp * 32 + lane];
        if (other.op != waiting.op || other.mask != waiting.mask) blocking |= 1u << lane;
      }
    }
    if (blocking == 0) continue;
    const unsigned lane = static_cast<unsigned>(__builtin_ctz(blocking));
    const Thread& absent = threads_[warp * 32 + lane];
    std::string where = absent.state == State::returned             ? "which returned"
                        : absent.state == State::at_barrier         ? "which waits at __syncthreads()"
                        : absent.state == State::at_cluster_barrier ? "which waits at barrier.cluster.wait"
                        : "which waits at " + op_label(absent) + " with mask " + hex_mask(absent.mask);
    return thread_name(i) + " waits at " + op_label(waiting) + " with mask " + hex_mask(waiting.mask) +
           " for lane " + std::to_string(lane) + " of warp " + std::to_string(warp) + ", " + where;
  }
  for (unsigned i = 0; i < thread_count_; ++i) {
    if (threads_[i].state == State::at_cluster_barrier) {
      return thread_name(i) + " waits at barrier.cluster.wait, which not every thread of the cluster reaches";
    }
  }
  unsigned first_returned = thread_count_;
  for (unsigned i = 0; i < thread_count_ && first_returned == thread_count_; ++i) {
    if (threads_[i].state == State::returned) first_returned = i;
  }
  std::string text = "__syncthreads() not reached by every thread of the block: " + std::to_string(barrier_arrived_) +
                     " of " + std::to_string(thread_count_) + " threads wait at it, " + std::to_string(returned_) +
                     " returned without reaching it";
  if (first_returned < thread_count_) text += " (the first: " + thread_name(first_returned) + ")";
  return text;
}

std::string BlockRun::thread_name(unsigned index) const {
  return "thread " + triple(uint3{index % block_dim_.x, (index / block_dim_.x) % block_dim_.y,
                                  index / (block_dim_.x * block_dim_.y)});
}

std::string BlockRun::block_name() const { return "block " + triple(block_idx_); }

int block_barrier(BarrierReduction reduction, int predicate) {
  return require_running_block("__syncthreads()").barrier(reduction, predicate);
}

unsigned long long warp_collective(WarpOp op, unsigned mask, unsigned long long value, int lane_argument,
                                   int width) {
  return require_running_block(op_name(op)).warp_collective(op, mask, value, lane_argument, width);
}

const unsigned char* warp_exchange(const char* instruction, unsigned mask, const void* deposit, unsigned bytes) {
  return require_running_block(instruction).warp_exchange(instruction, mask, deposit, bytes);
}

unsigned lane_id() { return require_running_block("%laneid").running_lane(); }

unsigned active_lanes() { return require_running_block("__activemask()").active_lanes(); }

void trap() { require_running_block("__trap()").fail("__trap() called"); }

void fault(const std::string& reason) { require_running_block(reason.c_str()).fail(reason); }

}  // namespace hostgpu::detail
