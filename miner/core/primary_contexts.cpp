#include "core/primary_contexts.h"

#include <sstream>
#include <stdexcept>
#include <string>

#include "core/config.h"
#include "core/cuda_check.h"
#include "core/cuda_driver.h"
#include "core/log.h"

namespace {

constexpr unsigned int kSchedSpin = 1;          // CU_CTX_SCHED_SPIN
constexpr unsigned int kSchedBlockingSync = 4;  // CU_CTX_SCHED_BLOCKING_SYNC
constexpr unsigned int kSchedMask = 7;
constexpr CUresult kPrimaryContextActive = static_cast<CUresult>(708);

// Without a driver the lookup itself failed: report that as the step's CUDA error.
[[noreturn]] void driver_unavailable(const CudaDriverApi& driver, const char* step) {
  const cudaError_t why =
      driver.lookup_error != cudaSuccess ? driver.lookup_error : cudaErrorSymbolNotFound;
  check_cuda(why, step);
  throw std::runtime_error(std::string(step) + ": driver entry point unavailable");
}

std::string hex_flags(unsigned int value) {
  std::ostringstream text;
  text << std::hex << value;
  return text.str();
}

}  // namespace

void configure_cuda_primary_contexts(const Config& config) {
  const unsigned int requested = config.cuda_schedule_spin ? kSchedSpin : kSchedBlockingSync;
  const CudaDriverApi& driver = cuda_driver_api();
  if (!driver.init) driver_unavailable(driver, "cuInit");
  check_cu(driver.init(0), "cuInit");
  if (!driver.device_get || !driver.primary_ctx_set_flags) {
    driver_unavailable(driver, "cuDeviceGet");
  }
  for (const int32_t ordinal : config.devices) {
    CUdevice device = 0;
    check_cu(driver.device_get(&device, ordinal), "cuDeviceGet");
    unsigned int flags = 0;
    int active = 0;
    const CUresult state = driver.primary_ctx_get_state
                               ? driver.primary_ctx_get_state(device, &flags, &active)
                               : CUDA_ERROR_NOT_FOUND;
    if (state == CUDA_SUCCESS && active != 0) {
      if ((flags & kSchedMask) != requested) {
        log_line(LogLevel::Warn, "cuda",
                 "primary_context_already_active device=" + std::to_string(ordinal) +
                     " current_flags=0x" + hex_flags(flags & kSchedMask) +
                     " requested_flags=0x" + hex_flags(requested) +
                     " action=restart_process_to_change",
                 "system");
      }
      continue;
    }
    const CUresult set = driver.primary_ctx_set_flags(device, requested);
    if (set == kPrimaryContextActive) {
      log_line(LogLevel::Warn, "cuda",
               "primary_context_became_active device=" + std::to_string(ordinal), "system");
      continue;
    }
    check_cu(set, "cuDevicePrimaryCtxSetFlags");
  }
  log_info("cuda", std::string("scheduling=") + (config.cuda_schedule_spin ? "spin" : "blocking-sync"),
           "system");
}
