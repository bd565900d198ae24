#pragma once
#include "core/gpu_api.h"

// Turn a CUDA runtime result other than success into a runtime error whose text
// is the step, ": " and the runtime's text for the code.
void check_cuda(cudaError_t result, const char* step);

// The same for a CUDA driver result; the detail is the driver's error name
// ("CUDA_ERROR" when it has none) and, when it has one, ": " and its description.
void check_cu(CUresult result, const char* step);
