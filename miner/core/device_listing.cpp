#include "core/device_listing.h"

#include <cstring>
#include <iostream>
#include <stdexcept>

#include "backends/backend_descriptor.h"
#include "core/codecs.h"
#include "core/cuda_check.h"

std::string listing_backend_name(const cudaDeviceProp& prop) {
  const int major = prop.major;
  const int minor = prop.minor;
  if (major == 7 && minor == 0) return "volta";
  if (major == 7 && minor == 5) return "turing";
  if (major == 10) return minor <= 2 ? "blackwell-b200" : "blackwell-b300";
  if (major == 12) return "blackwell-native";
  if (major == 9) return "hopper";
  if (major == 8 && minor > 8) return "ada";
  if (major == 8 && minor == 0 && prop.multiProcessorCount == 70 && is_cmp170hx_device(prop)) {
    return "cmp170hx";
  }
  if (major == 8) return "ampere";
  return "unsupported";
}

int list_cuda_devices() {
  int count = 0;
  const cudaError_t counted = cudaGetDeviceCount(&count);
  if (counted != cudaSuccess) {
    throw std::runtime_error(std::string("cudaGetDeviceCount failed: ") +
                             cudaGetErrorString(counted));
  }
  std::ostream& out = std::cout;
  if (count == 0) {
    out << "No CUDA devices found.\n";
    return 0;
  }
  out << "CUDA devices available for --devices:\n";
  for (int i = 0; i < count; ++i) {
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof(prop));
    check_cuda(cudaGetDeviceProperties(&prop, i), "cudaGetDeviceProperties");
    const std::string backend = listing_backend_name(prop);
    const double gib = static_cast<double>(prop.totalGlobalMem) / (1024.0 * 1024.0 * 1024.0);
    out << "  " << i << ": " << std::string(prop.name, strnlen(prop.name, sizeof(prop.name)))
        << " cc=" << prop.major << "." << prop.minor << " backend=" << backend
        << " memory_gib=" << format_fixed2(gib) << " sms=" << prop.multiProcessorCount;
    if (backend == "unsupported") out << " status=unsupported";
    out << "\n";
  }
  return 0;
}
