// Device properties as a real device of the simulated capability reports them.
#include <cstring>

#include "runtime_state.h"

namespace hostgpu::runtime {
namespace {

struct CapabilityLimits {
  int shared_per_block_optin;
  int shared_per_multiprocessor;
  int threads_per_multiprocessor;
  int blocks_per_multiprocessor;
  int reserved_shared_per_block;
};

CapabilityLimits limits_for(int major, int minor) {
  const int cc = major * 10 + minor;
  if (cc == 70 || cc == 72) return {98304, 98304, 2048, 32, 0};
  if (cc == 75) return {65536, 65536, 1024, 16, 0};
  if (cc == 80 || cc == 87) return {166912, 167936, cc == 80 ? 2048 : 1536, 32, 1024};
  if (cc == 86) return {101376, 102400, 1536, 16, 1024};
  if (cc == 89) return {101376, 102400, 1536, 24, 1024};
  if (major == 9 || major == 10 || major == 11) return {232448, 233472, 2048, 32, 1024};
  if (major >= 12) return {101376, 102400, 1536, 32, 1024};
  return {49152, 98304, 2048, 32, 0};
}

}  // namespace

cudaDeviceProp device_properties(const DeviceSpec& spec, int ordinal) {
  const CapabilityLimits limits = limits_for(spec.major, spec.minor);
  cudaDeviceProp prop;
  std::memset(&prop, 0, sizeof(prop));
  std::strncpy(prop.name, spec.name.c_str(), sizeof(prop.name) - 1);
  for (size_t i = 0; i < sizeof(prop.uuid.bytes); ++i) {
    prop.uuid.bytes[i] = static_cast<char>(0x40 + ordinal * 16 + static_cast<int>(i));
  }
  prop.totalGlobalMem = spec.memory_bytes;
  prop.sharedMemPerBlock = 49152;
  prop.regsPerBlock = 65536;
  prop.warpSize = 32;
  prop.memPitch = 2147483647;
  prop.maxThreadsPerBlock = 1024;
  prop.maxThreadsDim[0] = 1024;
  prop.maxThreadsDim[1] = 1024;
  prop.maxThreadsDim[2] = 64;
  prop.maxGridSize[0] = 2147483647;
  prop.maxGridSize[1] = 65535;
  prop.maxGridSize[2] = 65535;
  prop.totalConstMem = 65536;
  prop.major = spec.major;
  prop.minor = spec.minor;
  prop.textureAlignment = 512;
  prop.texturePitchAlignment = 32;
  prop.multiProcessorCount = spec.multiprocessors;
  prop.canMapHostMemory = 1;
  prop.surfaceAlignment = 512;
  prop.concurrentKernels = 1;
  prop.pciBusID = ordinal + 1;
  prop.asyncEngineCount = 2;
  prop.unifiedAddressing = 1;
  prop.memoryBusWidth = 256;
  prop.l2CacheSize = 4 * 1024 * 1024;
  prop.maxThreadsPerMultiProcessor = limits.threads_per_multiprocessor;
  prop.streamPrioritiesSupported = 1;
  prop.globalL1CacheSupported = 1;
  prop.localL1CacheSupported = 1;
  prop.sharedMemPerMultiprocessor = static_cast<size_t>(limits.shared_per_multiprocessor);
  prop.regsPerMultiprocessor = 65536;
  prop.managedMemory = 1;
  prop.computePreemptionSupported = 1;
  prop.cooperativeLaunch = 1;
  prop.sharedMemPerBlockOptin = static_cast<size_t>(limits.shared_per_block_optin);
  prop.maxBlocksPerMultiProcessor = limits.blocks_per_multiprocessor;
  prop.reservedSharedMemPerBlock = static_cast<size_t>(limits.reserved_shared_per_block);
  prop.hostRegisterSupported = 1;
  prop.memoryPoolsSupported = 1;
  prop.clusterLaunch = spec.major >= 9 ? 1 : 0;
  prop.deviceNumaId = -1;
  prop.hostNumaId = -1;
  return prop;
}

}  // namespace hostgpu::runtime
