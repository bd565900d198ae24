#pragma once
#include <string>

#include "core/gpu_api.h"

// The backend name the device list shows for a device ("unsupported" outside
// the capabilities the miner knows).
std::string listing_backend_name(const cudaDeviceProp& prop);

// Prints every visible CUDA device with its capability, backend, memory and
// multiprocessors to standard output; returns 0, leaves failures as exceptions.
int list_cuda_devices();
