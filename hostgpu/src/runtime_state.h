#pragma once
// Private state of the stand-in's runtime: devices, allocations, streams,
// events and per-kernel attributes, all behind one platform lock.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <cuda_runtime_api.h>
#include <driver_types.h>

#include "hostgpu/executor.h"

namespace hostgpu::runtime {

struct DeviceSpec {
  int major = 8;
  int minor = 6;
  std::string name;
  size_t memory_bytes = 0;
  int multiprocessors = 0;
};

struct Stream;

// A point in a stream's order: done once the stream has completed `seq`.
struct StreamPoint {
  std::shared_ptr<Stream> stream;
  uint64_t seq = 0;
};

struct Operation {
  uint64_t seq = 0;
  std::vector<StreamPoint> waits;
  std::function<void()> work;
};

struct Stream {
  int device = 0;
  unsigned int flags = 0;
  int priority = 0;
  bool legacy = false;
  std::deque<Operation> pending;
  uint64_t last_enqueued = 0;
  uint64_t completed = 0;
  bool running = false;
};

struct Event {
  int device = 0;
  unsigned int flags = 0;
  bool recorded = false;
  StreamPoint record;                    // the most recent record
  std::shared_ptr<double> recorded_at;   // ms on the steady clock, set when the record runs
};

struct Allocation {
  char* base = nullptr;    // what the program sees
  void* block = nullptr;   // what was allocated (base is aligned inside it)
  size_t bytes = 0;
  int device = 0;
  bool pinned = false;
};

struct KernelAttributes {
  int max_dynamic_shared_bytes = 48 * 1024;
  int preferred_carveout = -1;
  int non_portable_cluster_size_allowed = 0;
  int required_cluster_width = 0;
  int cluster_scheduling_policy = 0;
};

struct LaunchRecord {
  const void* kernel = nullptr;
  dim3 grid;
  dim3 block;
  dim3 cluster{1, 1, 1};
  size_t dynamic_shared_bytes = 0;
  int device = 0;
};

struct PrimaryContext {
  unsigned int flags = 0;
  bool active = false;
  // Tests: another user creates the context between a state query and a flag change.
  bool activates_at_next_set_flags = false;
  unsigned int flags_of_other_user = 0;
};

struct Platform {
  cudaError_t init_error = cudaSuccess;  // a malformed device list: every call fails
  std::vector<DeviceSpec> devices;
  bool deferred = false;
  bool poison = false;
  std::map<const void*, std::shared_ptr<Stream>> streams;
  std::vector<std::shared_ptr<Stream>> legacy_streams;  // one per device
  std::map<const void*, std::shared_ptr<Event>> events;
  std::map<uintptr_t, Allocation> allocations;  // keyed by base address
  std::vector<size_t> device_bytes_in_use;
  std::vector<cudaError_t> device_faults;      // sticky kernel faults
  std::map<std::pair<const void*, int>, KernelAttributes> kernel_attributes;  // per kernel and device
  std::vector<PrimaryContext> primary_contexts;
  bool driver_initialised = false;
  LaunchRecord last_launch;
  bool have_launch = false;
};

// The platform lock is recursive: work run under it may call back into the runtime.
std::unique_lock<std::recursive_mutex> lock_platform();
// The platform, configured from the environment on first use. Hold the lock.
Platform& platform();
// Drops every object and reads the environment again. Hold the lock.
void reset_platform();

// Parses HOSTGPU_DEVICES; false when malformed.
bool parse_device_list(const std::string& text, std::vector<DeviceSpec>* devices);
cudaDeviceProp device_properties(const DeviceSpec& spec, int ordinal);

// Per-thread error state: records a failure as this thread's last error and returns it.
cudaError_t fail(cudaError_t error);
cudaError_t report(cudaError_t result);  // fail() for errors, passes success through
int& current_device();

// Checks that the runtime is usable and a device is current; returns the reason otherwise.
// Like the real runtime, this creates the current device's primary context.
cudaError_t check_ready(Platform& p);
bool valid_device(const Platform& p, int device);
// A kernel fault that left the device unusable, or cudaSuccess.
cudaError_t device_fault(const Platform& p, int device);
void record_device_fault(Platform& p, int device, cudaError_t error);

// Streams: resolves a handle (null and cudaStreamLegacy mean the current device's legacy stream).
std::shared_ptr<Stream> resolve_stream(Platform& p, cudaStream_t handle, cudaError_t* error);
std::shared_ptr<Stream> legacy_stream(Platform& p, int device);
// Enqueues work; it runs at once in eager mode, at a synchronisation point in deferred mode.
StreamPoint enqueue(Platform& p, const std::shared_ptr<Stream>& stream, std::function<void()> work,
                    std::vector<StreamPoint> waits = {});
// Runs the stream's queue up to and including `seq`, first running what each operation waits for.
void run_until(const StreamPoint& point);
void drain_stream(const std::shared_ptr<Stream>& stream);
void drain_device(Platform& p, int device);
bool point_done(const StreamPoint& point);
double steady_ms();

// Memory: the allocation containing [address, address + bytes), or null.
const Allocation* find_allocation(const Platform& p, const void* address, size_t bytes);
bool is_pinned(const Platform& p, const void* address, size_t bytes);

// Sizes and alignments of a kernel's parameters, when registered.
bool kernel_parameters(const void* kernel, std::vector<hostgpu::KernelParameter>* parameters);

}  // namespace hostgpu::runtime
