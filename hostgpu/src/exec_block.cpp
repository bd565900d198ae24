#include "exec_block.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

#include "hostgpu/device_coordinates.h"

namespace hostgpu::detail {
namespace {

// Ends the faulting thread's fiber; the fault itself is already recorded.
struct KernelFault {};

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

BlockRun::BlockRun(uint3 block_idx, uint3 block_dim, const std::function<void()>& body, FiberStackPool& stacks)
    : block_idx_(block_idx),
      block_dim_(block_dim),
      thread_count_(block_dim.x * block_dim.y * block_dim.z),
      body_(body),
      stacks_(stacks),
      threads_(thread_count_),
      warp_arrived_((thread_count_ + 31) / 32, 0u) {
  // A block launches with the register file shared evenly, whole multiples
  // of 8 per thread and at most 248 (an 8-multiple under the 255 limit).
  const unsigned warps = (thread_count_ + 31) / 32;
  unsigned per_thread = warps == 0 ? 0 : 65536u / (warps * 32u) / 8u * 8u;
  if (per_thread > 248) per_thread = 248;
  warp_registers_.assign(warps, per_thread);
  register_pool_ = 65536u - per_thread * warps * 32u;
}

BlockRun::~BlockRun() {
  // Unwinds the stacks of threads still suspended after a fault.
  RunningBlockScope scope(this);
  for (Thread& thread : threads_) thread.fiber = boost::context::fiber();
}

bool BlockRun::run(std::string* fault) {
  RunningBlockScope scope(this);
  blockIdx = block_idx_;
  blockDim = dim3(block_dim_);
  for (unsigned i = 0; i < thread_count_; ++i) runnable_.push_back(i);
  while (!runnable_.empty() && fault_.empty()) {
    const unsigned next = runnable_.front();
    runnable_.pop_front();
    resume(next);
    if (threads_[next].state != State::spinning) {
      idle_spins_ = 0;
    } else if (++idle_spins_ > runnable_.size()) {
      // Every runnable thread has polled once more and nothing changed.
      fault_ = block_name() + ", " + thread_name(next) + ": " + spin_reason_ +
               " that no thread of the block can complete";
    }
  }
  if (fault_.empty() && returned_ < thread_count_) fault_ = block_name() + ": " + describe_deadlock();
  if (fault_.empty()) return true;
  *fault = fault_;
  return false;
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
  thread.fiber = std::move(thread.fiber).resume();
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
  threads_[index].state = State::returned;
  ++returned_;
  return std::move(scheduler_);
}

void BlockRun::suspend() { scheduler_ = std::move(scheduler_).resume(); }

void BlockRun::spin_yield(const char* what) {
  const unsigned self = running_;
  threads_[self].state = State::spinning;
  spin_reason_ = what;
  runnable_.push_back(self);
  suspend();
  threads_[self].state = State::runnable;
}

void BlockRun::set_max_registers(bool increase, unsigned count) {
  const char* name = increase ? "setmaxnreg.inc" : "setmaxnreg.dec";
  if (count < 24 || count > 256 || count % 8 != 0) {
    fail(std::string(name) + " with " + std::to_string(count) +
         " registers: the count must be a multiple of 8 from 24 to 256");
  }
  const unsigned warp = running_ / 32;
  const unsigned current = warp_registers_[warp];
  if (increase ? count < current : count > current) {
    fail(std::string(name) + " to " + std::to_string(count) + " registers from the warp's " +
         std::to_string(current));
  }
  // Every lane executes the instruction; the first one to reach it moves the warp.
  const uint32_t deposit = count;
  const unsigned lanes = active_lanes();
  const unsigned char* table = warp_exchange(name, lanes, &deposit, sizeof(deposit));
  for (unsigned lane = 0; lane < 32; ++lane) {
    uint32_t other = 0;
    std::memcpy(&other, table + 4 * lane, sizeof(other));
    if (((lanes >> lane) & 1u) && other != count) {
      fail(std::string(name) + " " + std::to_string(count) + " meets lane " + std::to_string(lane) +
           " with " + std::to_string(other));
    }
  }
  if (running_ % 32 != static_cast<unsigned>(__builtin_ctz(lanes))) return;
  if (!increase) {
    register_pool_ += (current - count) * 32u;
  } else {
    const unsigned needed = (count - current) * 32u;
    if (register_pool_ < needed) {
      do spin_yield("setmaxnreg.inc waiting for registers");
      while (register_pool_ < needed);
      spin_succeeded();
    }
    register_pool_ -= needed;
  }
  warp_registers_[warp] = count;
}

void BlockRun::fail(const std::string& reason) {
  if (fault_.empty()) fault_ = block_name() + ", " + thread_name(running_) + ": " + reason;
  throw KernelFault{};
}

int BlockRun::barrier(BarrierReduction reduction, int predicate) {
  const unsigned self = running_;
  ++barrier_arrived_;
  if (predicate != 0) ++barrier_true_;
  if (barrier_arrived_ == thread_count_) {
    barrier_result_ = barrier_true_;
    barrier_arrived_ = 0;
    barrier_true_ = 0;
    for (unsigned i = 0; i < thread_count_; ++i) {
      if (i != self && threads_[i].state == State::at_barrier) {
        threads_[i].state = State::runnable;
        runnable_.push_back(i);
      }
    }
  } else {
    threads_[self].state = State::at_barrier;
    suspend();
  }
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
  const unsigned lanes = mask & existing_lanes(warp);
  if ((warp_arrived_[warp] & lanes) == lanes) {
    complete_warp_op(warp, lanes);
  } else {
    suspend();
  }
  return me.result;
}

void BlockRun::complete_warp_op(unsigned warp, unsigned lanes) {
  const Thread& arriving = threads_[running_];
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
  for (unsigned lane = 0; lane < 32; ++lane) {
    if (((lanes >> lane) & 1u) == 0) continue;
    const unsigned index = warp * 32 + lane;
    threads_[index].result = results[lane];
    threads_[index].state = State::runnable;
    if (index != running_) runnable_.push_back(index);
  }
  warp_arrived_[warp] &= ~lanes;
}

// Every deposit is read now, while all the lanes wait: what each lane then
// reads from the table is what the warp saw at the instruction.
void BlockRun::complete_exchange(unsigned warp, unsigned lanes, unsigned bytes) {
  auto table = std::make_shared<std::vector<unsigned char>>(size_t{32} * bytes, 0);
  for (unsigned lane = 0; lane < 32; ++lane) {
    const Thread& depositing = threads_[warp * 32 + lane];
    if (((lanes >> lane) & 1u) && depositing.deposit != nullptr) {
      std::memcpy(table->data() + size_t{lane} * bytes, depositing.deposit, bytes);
    }
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
  // A source lane that takes no part has no defined value; it reads as zero.
  if (((lanes >> source) & 1u) == 0) return 0;
  return threads_[warp * 32 + static_cast<unsigned>(source)].value;
}

std::string BlockRun::describe_deadlock() const {
  for (unsigned i = 0; i < thread_count_; ++i) {
    const Thread& waiting = threads_[i];
    if (waiting.state != State::at_warp_op) continue;
    const unsigned warp = i / 32;
    const unsigned named = waiting.mask & existing_lanes(warp);
    unsigned blocking = named & ~warp_arrived_[warp];
    if (blocking == 0) {
      // Every named lane is at a warp operation, but not at the same one.
      for (unsigned lane = 0; lane < 32; ++lane) {
        const Thread& other = threads_[warp * 32 + lane];
        if (((named >> lane) & 1u) && (other.op != waiting.op || other.mask != waiting.mask)) blocking |= 1u << lane;
      }
    }
    if (blocking == 0) continue;
    const unsigned lane = static_cast<unsigned>(__builtin_ctz(blocking));
    const Thread& absent = threads_[warp * 32 + lane];
    std::string where = absent.state == State::returned     ? "which returned"
                        : absent.state == State::at_barrier ? "which waits at __syncthreads()"
                        : "which waits at " + op_label(absent) + " with mask " + hex_mask(absent.mask);
    return thread_name(i) + " waits at " + op_label(waiting) + " with mask " + hex_mask(waiting.mask) +
           " for lane " + std::to_string(lane) + " of warp " + std::to_string(warp) + ", " + where;
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

void spin_yield(const char* what) { require_running_block(what).spin_yield(what); }

void spin_succeeded() { require_running_block("a poll").spin_succeeded(); }

void set_max_registers(bool increase, unsigned count) {
  require_running_block("setmaxnreg").set_max_registers(increase, count);
}

unsigned lane_id() { return require_running_block("%laneid").running_lane(); }

unsigned active_lanes() { return require_running_block("__activemask()").active_lanes(); }

void trap() { require_running_block("__trap()").fail("__trap() called"); }

void fault(const std::string& reason) { require_running_block(reason.c_str()).fail(reason); }

}  // namespace hostgpu::detail
