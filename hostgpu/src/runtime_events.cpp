// Events: a record is a point in a stream's order; waits capture the most
// recent record when they are made.
#include "runtime_state.h"

using namespace hostgpu::runtime;

namespace {

std::shared_ptr<Event> find_event(Platform& p, cudaEvent_t handle) {
  auto found = p.events.find(handle);
  return found == p.events.end() ? nullptr : found->second;
}

}  // namespace

extern "C" {

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags) {
  const unsigned int known = cudaEventBlockingSync | cudaEventDisableTiming | cudaEventInterprocess;
  if (event == nullptr || (flags & ~known) != 0) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  Platform& p = platform();
  const cudaError_t ready = check_ready(p);
  if (ready != cudaSuccess) return fail(ready);
  auto created = std::make_shared<Event>();
  created->device = current_device();
  created->flags = flags;
  p.events[created.get()] = created;
  *event = reinterpret_cast<cudaEvent_t>(created.get());
  return cudaSuccess;
}

cudaError_t cudaEventCreate(cudaEvent_t* event) {
  return cudaEventCreateWithFlags(event, cudaEventDefault);
}

cudaError_t cudaEventDestroy(cudaEvent_t handle) {
  auto lock = lock_platform();
  Platform& p = platform();
  if (p.events.erase(handle) == 0) return fail(cudaErrorInvalidResourceHandle);
  return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t handle, cudaStream_t stream_handle) {
  auto lock = lock_platform();
  Platform& p = platform();
  std::shared_ptr<Event> event = find_event(p, handle);
  if (!event) return fail(cudaErrorInvalidResourceHandle);
  cudaError_t error = cudaSuccess;
  std::shared_ptr<Stream> stream = resolve_stream(p, stream_handle, &error);
  if (!stream) return fail(error);
  if (stream->device != event->device) return fail(cudaErrorInvalidResourceHandle);
  auto recorded_at = std::make_shared<double>(-1.0);
  event->recorded = true;
  event->recorded_at = recorded_at;
  event->record = enqueue(p, stream, [recorded_at] { *recorded_at = steady_ms(); });
  return cudaSuccess;
}

cudaError_t cudaEventRecordWithFlags(cudaEvent_t handle, cudaStream_t stream, unsigned int flags) {
  if (flags != 0 && flags != cudaEventRecordExternal) return fail(cudaErrorInvalidValue);
  return cudaEventRecord(handle, stream);
}

cudaError_t cudaEventQuery(cudaEvent_t handle) {
  auto lock = lock_platform();
  Platform& p = platform();
  std::shared_ptr<Event> event = find_event(p, handle);
  if (!event) return fail(cudaErrorInvalidResourceHandle);
  // A never-recorded event is complete.
  if (!event->recorded || point_done(event->record)) return cudaSuccess;
  return cudaErrorNotReady;
}

cudaError_t cudaEventSynchronize(cudaEvent_t handle) {
  auto lock = lock_platform();
  Platform& p = platform();
  std::shared_ptr<Event> event = find_event(p, handle);
  if (!event) return fail(cudaErrorInvalidResourceHandle);
  if (!event->recorded) return cudaSuccess;
  run_until(event->record);
  return report(device_fault(p, event->device));
}

cudaError_t cudaStreamWaitEvent(cudaStream_t stream_handle, cudaEvent_t handle, unsigned int flags) {
  if (flags != 0 && flags != cudaEventWaitExternal) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  Platform& p = platform();
  std::shared_ptr<Event> event = find_event(p, handle);
  if (!event) return fail(cudaErrorInvalidResourceHandle);
  cudaError_t error = cudaSuccess;
  std::shared_ptr<Stream> stream = resolve_stream(p, stream_handle, &error);
  if (!stream) return fail(error);
  if (!event->recorded) return cudaSuccess;  // nothing to wait for
  enqueue(p, stream, nullptr, {event->record});
  return cudaSuccess;
}

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start_handle, cudaEvent_t end_handle) {
  if (ms == nullptr) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  Platform& p = platform();
  std::shared_ptr<Event> start = find_event(p, start_handle);
  std::shared_ptr<Event> end = find_event(p, end_handle);
  if (!start || !end) return fail(cudaErrorInvalidResourceHandle);
  // Untimed or never-recorded events, or events of two devices, have no elapsed time.
  if ((start->flags & cudaEventDisableTiming) || (end->flags & cudaEventDisableTiming) ||
      !start->recorded || !end->recorded || start->device != end->device) {
    return fail(cudaErrorInvalidResourceHandle);
  }
  if (!point_done(start->record) || !point_done(end->record)) return cudaErrorNotReady;
  *ms = static_cast<float>(*end->recorded_at - *start->recorded_at);
  return cudaSuccess;
}

}  // extern "C"
