#include "core/cuda_check.h"

#include <stdexcept>
#include <string>

#include "core/cuda_driver.h"

void check_cuda(cudaError_t result, const char* step) {
  if (result == cudaSuccess) return;
  throw std::runtime_error(std::string(step) + ": " + cudaGetErrorString(result));
}

void check_cu(CUresult result, const char* step) {
  if (result == CUDA_SUCCESS) return;
  const char* name = nullptr;
  const char* text = nullptr;
  const CudaDriverApi& driver = cuda_driver_api();
  if (driver.get_error_name) driver.get_error_name(result, &name);
  if (driver.get_error_string) driver.get_error_string(result, &text);
  std::string detail = name ? name : "CUDA_ERROR";
  if (text) detail += std::string(": ") + text;
  throw std::runtime_error(std::string(step) + ": " + detail);
}
