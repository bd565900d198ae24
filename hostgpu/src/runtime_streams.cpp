// Streams: in-order queues that run at once (eager) or at synchronisation
// points (deferred), honouring the waits recorded with each operation.
#include <cstdio>
#include <cstdlib>

#include "runtime_state.h"

namespace hostgpu::runtime {
namespace {

bool is_blocking(const Stream& s) { return !s.legacy && (s.flags & cudaStreamNonBlocking) == 0; }

// Work on the legacy stream waits for the device's blocking streams and they wait for it.
void add_legacy_waits(Platform& p, const Stream& stream, std::vector<StreamPoint>* waits) {
  if (stream.legacy) {
    for (const auto& entry : p.streams) {
      const std::shared_ptr<Stream>& other = entry.second;
      if (other->device == stream.device && is_blocking(*other) && other->last_enqueued > 0) {
        waits->push_back({other, other->last_enqueued});
      }
    }
  } else if (is_blocking(stream)) {
    std::shared_ptr<Stream> legacy = legacy_stream(p, stream.device);
    if (legacy->last_enqueued > 0) waits->push_back({legacy, legacy->last_enqueued});
  }
}

std::shared_ptr<Stream> create_stream(Platform& p, unsigned int flags, int priority) {
  auto stream = std::make_shared<Stream>();
  stream->device = current_device();
  stream->flags = flags;
  stream->priority = priority;
  p.streams[stream.get()] = stream;
  return stream;
}

}  // namespace

std::shared_ptr<Stream> legacy_stream(Platform& p, int device) {
  std::shared_ptr<Stream>& slot = p.legacy_streams[device];
  if (!slot) {
    slot = std::make_shared<Stream>();
    slot->device = device;
    slot->legacy = true;
  }
  return slot;
}

std::shared_ptr<Stream> resolve_stream(Platform& p, cudaStream_t handle, cudaError_t* error) {
  *error = cudaSuccess;
  if (handle == nullptr || handle == cudaStreamLegacy || handle == cudaStreamPerThread) {
    *error = check_ready(p);
    return *error == cudaSuccess ? legacy_stream(p, current_device()) : nullptr;
  }
  auto found = p.streams.find(handle);
  if (found == p.streams.end()) {
    *error = cudaErrorInvalidResourceHandle;
    return nullptr;
  }
  return found->second;
}

StreamPoint enqueue(Platform& p, const std::shared_ptr<Stream>& stream, std::function<void()> work,
                    std::vector<StreamPoint> waits) {
  add_legacy_waits(p, *stream, &waits);
  Operation op;
  op.seq = ++stream->last_enqueued;
  op.waits = std::move(waits);
  op.work = std::move(work);
  stream->pending.push_back(std::move(op));
  const StreamPoint point{stream, stream->last_enqueued};
  if (!p.deferred) run_until(point);
  return point;
}

bool point_done(const StreamPoint& point) {
  return !point.stream || point.stream->completed >= point.seq;
}

void run_until(const StreamPoint& point) {
  if (!point.stream) return;
  Stream& s = *point.stream;
  while (s.completed < point.seq) {
    if (s.running) {
      // Waits only ever point at earlier work, so this would be a cycle.
      std::fprintf(stderr, "hostgpu: stream dependency cycle\n");
      std::abort();
    }
    s.running = true;
    Operation op = std::move(s.pending.front());
    s.pending.pop_front();
    for (const StreamPoint& wait : op.waits) run_until(wait);
    if (op.work) op.work();
    s.completed = op.seq;
    s.running = false;
  }
}

void drain_stream(const std::shared_ptr<Stream>& stream) {
  run_until({stream, stream->last_enqueued});
}

void drain_device(Platform& p, int device) {
  if (!valid_device(p, device)) return;
  drain_stream(legacy_stream(p, device));
  std::vector<std::shared_ptr<Stream>> streams;
  for (const auto& entry : p.streams) {
    if (entry.second->device == device) streams.push_back(entry.second);
  }
  for (const auto& stream : streams) drain_stream(stream);
}

}  // namespace hostgpu::runtime

using namespace hostgpu::runtime;

extern "C" {

cudaError_t cudaStreamCreateWithPriority(cudaStream_t* stream, unsigned int flags, int priority) {
  if (stream == nullptr || (flags & ~static_cast<unsigned int>(cudaStreamNonBlocking)) != 0) {
    return fail(cudaErrorInvalidValue);
  }
  auto lock = lock_platform();
  Platform& p = platform();
  const cudaError_t ready = check_ready(p);
  if (ready != cudaSuccess) return fail(ready);
  // Out-of-range priorities are clamped to the device's range, as CUDA does.
  if (priority > 0) priority = 0;
  if (priority < -5) priority = -5;
  *stream = reinterpret_cast<cudaStream_t>(create_stream(p, flags, priority).get());
  return cudaSuccess;
}

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags) {
  return cudaStreamCreateWithPriority(stream, flags, 0);
}

cudaError_t cudaStreamCreate(cudaStream_t* stream) {
  return cudaStreamCreateWithPriority(stream, cudaStreamDefault, 0);
}

cudaError_t cudaStreamDestroy(cudaStream_t handle) {
  auto lock = lock_platform();
  Platform& p = platform();
  auto found = p.streams.find(handle);
  if (found == p.streams.end()) return fail(cudaErrorInvalidResourceHandle);
  // The stream's queued work still completes; then the handle is gone.
  std::shared_ptr<Stream> stream = found->second;
  drain_stream(stream);
  p.streams.erase(found);
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t handle) {
  auto lock = lock_platform();
  Platform& p = platform();
  cudaError_t error = cudaSuccess;
  std::shared_ptr<Stream> stream = resolve_stream(p, handle, &error);
  if (!stream) return fail(error);
  drain_stream(stream);
  return report(device_fault(p, stream->device));
}

cudaError_t cudaStreamQuery(cudaStream_t handle) {
  auto lock = lock_platform();
  Platform& p = platform();
  cudaError_t error = cudaSuccess;
  std::shared_ptr<Stream> stream = resolve_stream(p, handle, &error);
  if (!stream) return fail(error);
  const cudaError_t fault = device_fault(p, stream->device);
  if (fault != cudaSuccess) return fail(fault);
  return stream->completed == stream->last_enqueued ? cudaSuccess : cudaErrorNotReady;
}

cudaError_t cudaStreamGetPriority(cudaStream_t handle, int* priority) {
  if (priority == nullptr) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  cudaError_t error = cudaSuccess;
  std::shared_ptr<Stream> stream = resolve_stream(platform(), handle, &error);
  if (!stream) return fail(error);
  *priority = stream->priority;
  return cudaSuccess;
}

cudaError_t cudaStreamGetFlags(cudaStream_t handle, unsigned int* flags) {
  if (flags == nullptr) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  cudaError_t error = cudaSuccess;
  std::shared_ptr<Stream> stream = resolve_stream(platform(), handle, &error);
  if (!stream) return fail(error);
  *flags = stream->flags;
  return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize(void) {
  auto lock = lock_platform();
  Platform& p = platform();
  const cudaError_t ready = check_ready(p);
  if (ready != cudaSuccess) return fail(ready);
  drain_device(p, current_device());
  return report(device_fault(p, current_device()));
}

}  // extern "C"
