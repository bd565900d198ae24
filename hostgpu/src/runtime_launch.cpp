// Kernel attributes and launches: the configuration is checked as CUDA checks
// it, the argument values are copied, and the grid runs in stream order.
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "hostgpu/executor.h"
#include "runtime_state.h"

using namespace hostgpu::runtime;

namespace {

constexpr unsigned int kMaxThreadsPerBlock = 1024;
constexpr unsigned int kMaxPortableClusterBlocks = 8;
constexpr unsigned int kMaxClusterBlocks = 16;

KernelAttributes& attributes_of(Platform& p, const void* kernel, int device) {
  // Attributes live in one device's context, as on a GPU.
  return p.kernel_attributes[{kernel, device}];
}

int shared_optin_of(const Platform& p, int device) {
  return static_cast<int>(device_properties(p.devices[device], device).sharedMemPerBlockOptin);
}

bool valid_block(const dim3& block) {
  if (block.x == 0 || block.y == 0 || block.z == 0) return false;
  if (block.x > 1024 || block.y > 1024 || block.z > 64) return false;
  return static_cast<unsigned long long>(block.x) * block.y * block.z <= kMaxThreadsPerBlock;
}

bool valid_grid(const dim3& grid) {
  if (grid.x == 0 || grid.y == 0 || grid.z == 0) return false;
  return grid.x <= 2147483647u && grid.y <= 65535 && grid.z <= 65535;
}

cudaError_t check_cluster(const Platform& p, int device, const KernelAttributes& attributes,
                          const dim3& grid, const dim3& cluster) {
  if (cluster.x == 1 && cluster.y == 1 && cluster.z == 1) return cudaSuccess;
  if (p.devices[device].major < 9) return cudaErrorNotSupported;
  if (cluster.x == 0 || cluster.y == 0 || cluster.z == 0) return cudaErrorInvalidClusterSize;
  const unsigned long long blocks = 1ull * cluster.x * cluster.y * cluster.z;
  const unsigned int limit =
      attributes.non_portable_cluster_size_allowed ? kMaxClusterBlocks : kMaxPortableClusterBlocks;
  if (blocks > limit) return cudaErrorInvalidClusterSize;
  if (grid.x % cluster.x != 0 || grid.y % cluster.y != 0 || grid.z % cluster.z != 0) {
    return cudaErrorInvalidClusterSize;
  }
  return cudaSuccess;
}

unsigned round_up(unsigned long long value, unsigned long long unit) {
  return static_cast<unsigned>((value + unit - 1) / unit * unit);
}

// Blocks one SM holds at once, as the CUDA occupancy rules admit them from
// warps, blocks, registers (allocated per warp in units of 256) and shared
// memory (static and dynamic, plus what the system reserves per block, in
// units of 128 bytes from 8.0 on and 256 before).
unsigned blocks_per_sm(const cudaDeviceProp& prop, const dim3& block, size_t dynamic_shared,
                       const hostgpu::KernelFootprint& footprint) {
  const unsigned long long threads = 1ull * block.x * block.y * block.z;
  const unsigned long long warps = (threads + 31) / 32;
  unsigned long long limit = std::min<unsigned long long>(prop.maxBlocksPerMultiProcessor,
                                                          prop.maxThreadsPerMultiProcessor / 32 / warps);
  if (footprint.registers_per_thread > 0) {
    const unsigned long long per_warp = round_up(32ull * footprint.registers_per_thread, 256);
    limit = std::min<unsigned long long>(limit, prop.regsPerMultiprocessor / (per_warp * warps));
  }
  const unsigned unit = prop.major >= 8 ? 128 : 256;
  const unsigned long long shared =
      round_up(dynamic_shared + static_cast<size_t>(footprint.static_shared_bytes) + prop.reservedSharedMemPerBlock, unit);
  if (shared > 0) limit = std::min<unsigned long long>(limit, prop.sharedMemPerMultiprocessor / shared);
  return static_cast<unsigned>(std::max<unsigned long long>(limit, 1));
}

// The argument values, copied when the launch is made.
struct CapturedArguments {
  std::vector<char> bytes;
  std::vector<void*> pointers;
};

std::shared_ptr<CapturedArguments> capture_arguments(void** args,
                                                     const std::vector<hostgpu::KernelParameter>& parameters) {
  auto captured = std::make_shared<CapturedArguments>();
  std::vector<size_t> offsets;
  size_t total = 0;
  size_t widest = 1;
  for (const hostgpu::KernelParameter& parameter : parameters) {
    // Each value at an address aligned for its own type: the kernel binds it
    // as that type, and the compiler may use aligned loads.
    total = (total + parameter.alignment - 1) / parameter.alignment * parameter.alignment;
    offsets.push_back(total);
    total += parameter.size;
    if (parameter.alignment > widest) widest = parameter.alignment;
  }
  captured->bytes.resize(total + widest);
  char* base = captured->bytes.data();
  base += (widest - reinterpret_cast<uintptr_t>(base) % widest) % widest;
  for (size_t i = 0; i < parameters.size(); ++i) {
    std::memcpy(base + offsets[i], args[i], parameters[i].size);
    captured->pointers.push_back(base + offsets[i]);
  }
  captured->pointers.push_back(nullptr);
  return captured;
}

void run_grid(const hostgpu::GridLaunch& launch, hostgpu::KernelInvoker invoke, void** args) {
  const cudaError_t result = hostgpu::execute_grid(launch, [&] { invoke(launch.kernel, args); });
  if (result != cudaSuccess) {
    std::fprintf(stderr, "hostgpu: kernel fault on device %d: %s\n", launch.device,
                 hostgpu::last_kernel_fault());
    record_device_fault(platform(), launch.device, result);
  }
}

cudaError_t launch(const void* kernel, dim3 grid, dim3 block, size_t shared_bytes,
                   cudaStream_t handle, void** args, dim3 cluster) {
  auto lock = lock_platform();
  Platform& p = platform();
  cudaError_t error = cudaSuccess;
  std::shared_ptr<Stream> stream = resolve_stream(p, handle, &error);
  if (!stream) return fail(error);
  const int device = current_device();
  error = device_fault(p, device);
  if (error != cudaSuccess) return fail(error);
  // A kernel runs on the current device; a stream of another device cannot take it.
  if (stream->device != device) return fail(cudaErrorInvalidResourceHandle);
  const hostgpu::KernelInvoker invoke = kernel ? hostgpu::find_kernel(kernel) : nullptr;
  if (invoke == nullptr) return fail(cudaErrorInvalidDeviceFunction);
  if (!valid_block(block) || !valid_grid(grid)) return fail(cudaErrorInvalidConfiguration);
  const KernelAttributes& attributes = attributes_of(p, kernel, device);
  if (shared_bytes > static_cast<size_t>(attributes.max_dynamic_shared_bytes) ||
      shared_bytes > static_cast<size_t>(shared_optin_of(p, device))) {
    return fail(cudaErrorInvalidValue);
  }
  error = check_cluster(p, device, attributes, grid, cluster);
  if (error != cudaSuccess) return fail(error);

  p.last_launch = LaunchRecord{kernel, grid, block, cluster, shared_bytes, device};
  p.have_launch = true;
  hostgpu::GridLaunch grid_launch;
  grid_launch.grid = grid;
  grid_launch.block = block;
  grid_launch.dynamic_shared_bytes = shared_bytes;
  grid_launch.device = device;
  grid_launch.kernel = kernel;
  grid_launch.cluster = cluster;
  grid_launch.compute_capability = p.devices[device].major * 10 + p.devices[device].minor;
  hostgpu::KernelFootprint footprint;
  hostgpu::find_kernel_footprint(kernel, &footprint);
  grid_launch.registers_per_thread = footprint.registers_per_thread;
  grid_launch.blocks_per_sm =
      blocks_per_sm(device_properties(p.devices[device], device), block, shared_bytes, footprint);

  std::vector<hostgpu::KernelParameter> parameters;
  if (!kernel_parameters(kernel, &parameters)) {
    // Without the parameters' sizes the values cannot be copied; a launch that
    // runs before returning can still read the caller's own.
    if (p.deferred) {
      std::fprintf(stderr, "hostgpu: kernel %p has no registered parameter sizes\n", kernel);
      return fail(cudaErrorInvalidDeviceFunction);
    }
    enqueue(p, stream, [grid_launch, invoke, args] { run_grid(grid_launch, invoke, args); });
    return cudaSuccess;
  }
  if (!parameters.empty() && args == nullptr) return fail(cudaErrorInvalidValue);
  std::shared_ptr<CapturedArguments> captured = capture_arguments(args, parameters);
  enqueue(p, stream, [grid_launch, invoke, captured] {
    run_grid(grid_launch, invoke, captured->pointers.data());
  });
  return cudaSuccess;
}

}  // namespace

extern "C" {

cudaError_t cudaFuncSetAttribute(const void* kernel, cudaFuncAttribute attribute, int value) {
  auto lock = lock_platform();
  Platform& p = platform();
  const cudaError_t ready = check_ready(p);
  if (ready != cudaSuccess) return fail(ready);
  // Kernels register at their first launch, so attributes may come before it.
  if (kernel == nullptr) return fail(cudaErrorInvalidDeviceFunction);
  const int device = current_device();
  KernelAttributes& attributes = attributes_of(p, kernel, device);
  switch (attribute) {
    case cudaFuncAttributeMaxDynamicSharedMemorySize:
      if (value < 0 || value > shared_optin_of(p, device)) return fail(cudaErrorInvalidValue);
      attributes.max_dynamic_shared_bytes = value;
      return cudaSuccess;
    case cudaFuncAttributePreferredSharedMemoryCarveout:
      if (value < -1 || value > 100) return fail(cudaErrorInvalidValue);
      attributes.preferred_carveout = value;
      return cudaSuccess;
    case cudaFuncAttributeNonPortableClusterSizeAllowed:
      if (value != 0 && value != 1) return fail(cudaErrorInvalidValue);
      attributes.non_portable_cluster_size_allowed = value;
      return cudaSuccess;
    case cudaFuncAttributeRequiredClusterWidth:
      if (value < 0) return fail(cudaErrorInvalidValue);
      attributes.required_cluster_width = value;
      return cudaSuccess;
    case cudaFuncAttributeClusterSchedulingPolicyPreference:
      attributes.cluster_scheduling_policy = value;
      return cudaSuccess;
    default:
      return fail(cudaErrorInvalidValue);
  }
}

cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* out, const void* kernel) {
  if (out == nullptr) return fail(cudaErrorInvalidValue);
  auto lock = lock_platform();
  Platform& p = platform();
  const cudaError_t ready = check_ready(p);
  if (ready != cudaSuccess) return fail(ready);
  // Kernels register at their first launch, so attributes may come before it.
  if (kernel == nullptr) return fail(cudaErrorInvalidDeviceFunction);
  const int device = current_device();
  const KernelAttributes& attributes = attributes_of(p, kernel, device);
  const int version = p.devices[device].major * 10 + p.devices[device].minor;
  std::memset(out, 0, sizeof(*out));
  out->maxThreadsPerBlock = static_cast<int>(kMaxThreadsPerBlock);
  hostgpu::KernelFootprint footprint;
  const bool declared = hostgpu::find_kernel_footprint(kernel, &footprint);
  out->numRegs = declared && footprint.registers_per_thread > 0 ? footprint.registers_per_thread : 32;
  out->sharedSizeBytes = static_cast<size_t>(footprint.static_shared_bytes);
  out->ptxVersion = version;
  out->binaryVersion = version;
  out->maxDynamicSharedSizeBytes = attributes.max_dynamic_shared_bytes;
  out->preferredShmemCarveout = attributes.preferred_carveout;
  out->requiredClusterWidth = attributes.required_cluster_width;
  out->nonPortableClusterSizeAllowed = attributes.non_portable_cluster_size_allowed;
  out->clusterSchedulingPolicyPreference = attributes.cluster_scheduling_policy;
  return cudaSuccess;
}

cudaError_t cudaLaunchKernel(const void* kernel, dim3 grid, dim3 block, void** args,
                             size_t shared_bytes, cudaStream_t stream) {
  return launch(kernel, grid, block, shared_bytes, stream, args, dim3(1, 1, 1));
}

cudaError_t cudaLaunchKernelExC(const cudaLaunchConfig_t* config, const void* kernel, void** args) {
  if (config == nullptr || (config->numAttrs > 0 && config->attrs == nullptr)) {
    return fail(cudaErrorInvalidValue);
  }
  dim3 cluster(1, 1, 1);
  for (unsigned int i = 0; i < config->numAttrs; ++i) {
    const cudaLaunchAttribute& attribute = config->attrs[i];
    if (attribute.id == cudaLaunchAttributeClusterDimension) {
      cluster = dim3(attribute.val.clusterDim.x, attribute.val.clusterDim.y,
                     attribute.val.clusterDim.z);
    }
  }
  return launch(kernel, config->gridDim, config->blockDim, config->dynamicSmemBytes,
                config->stream, args, cluster);
}

}  // extern "C"
