#pragma once
// Host-side CUDA API declarations and types, for code that calls the runtime and
// the driver but holds no device code. The API is the toolkit's in both flavours:
// the cuda flavour links the static runtime, the host flavour the stand-in.
#include <cuda_runtime_api.h>
#include <driver_types.h>
#include <cuda.h>
