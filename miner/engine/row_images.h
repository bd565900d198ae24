#pragma once
// Whether a row's device code can run on a device: every unit of device code
// that holds one of the row's kernels (and the engine's own units) needs an
// image for the device's compute capability. A forced row, or the automatic
// choice on a capability no image covers, is refused before anything is
// launched instead of failing at its first launch.
#include <string>

#include "backends/backend_descriptor.h"

// Empty when the row's images cover capability major.minor, else why not
// (the row, the capability and the unit whose images fall short).
std::string row_image_refusal(const GpuBackendDescriptor& row, int major, int minor);

// Throws the refusal as a runtime error naming the device too.
void require_row_runs_on_device(const GpuBackendDescriptor& row, const cudaDeviceProp& prop,
                                int device);
