// The platform's lifetime: configured from the environment on first use.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "runtime_state.h"

namespace hostgpu::runtime {
namespace {

std::recursive_mutex& platform_mutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

std::unique_ptr<Platform>& platform_slot() {
  static std::unique_ptr<Platform> slot;
  return slot;
}

std::unique_ptr<Platform> configure_from_environment() {
  auto p = std::make_unique<Platform>();
  const char* devices = std::getenv("HOSTGPU_DEVICES");
  if (devices == nullptr) {
    parse_device_list("8.6", &p->devices);
  } else if (!parse_device_list(devices, &p->devices)) {
    // A broken driver: the runtime cannot initialise, so every call reports it.
    p->devices.clear();
    p->init_error = cudaErrorInitializationError;
  }
  for (DeviceSpec& d : p->devices) {
    if (d.name.empty()) d.name = "Host GPU";
  }
  const char* streams = std::getenv("HOSTGPU_STREAMS");
  p->deferred = streams != nullptr && std::strcmp(streams, "deferred") == 0;
  const char* poison = std::getenv("HOSTGPU_POISON");
  const char* hostile = std::getenv("HOSTGPU_HOSTILE");  // poison is part of it
  p->poison = (poison != nullptr && std::strcmp(poison, "1") == 0) || (hostile != nullptr && *hostile != '\0');
  const size_t n = p->devices.size();
  p->legacy_streams.resize(n);
  p->device_bytes_in_use.assign(n, 0);
  p->device_faults.assign(n, cudaSuccess);
  p->primary_contexts.assign(n, PrimaryContext{});
  return p;
}

void release_allocations(Platform& p) {
  for (auto& entry : p.allocations) std::free(entry.second.block);
  p.allocations.clear();
}

}  // namespace

std::unique_lock<std::recursive_mutex> lock_platform() {
  return std::unique_lock<std::recursive_mutex>(platform_mutex());
}

Platform& platform() {
  std::unique_ptr<Platform>& slot = platform_slot();
  if (!slot) slot = configure_from_environment();
  return *slot;
}

void reset_platform() {
  std::unique_ptr<Platform>& slot = platform_slot();
  if (slot) release_allocations(*slot);
  slot = configure_from_environment();
  current_device() = 0;
  cudaGetLastError();
}

double steady_ms() {
  using namespace std::chrono;
  static const steady_clock::time_point epoch = steady_clock::now();
  return duration<double, std::milli>(steady_clock::now() - epoch).count();
}

}  // namespace hostgpu::runtime
