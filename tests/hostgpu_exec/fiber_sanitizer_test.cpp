// Under AddressSanitizer a kernel thread's stack is watched across fiber
// switches: a write past a local array after the thread was suspended at a
// barrier and resumed is still caught (its red zones survive the switches).
#include <gtest/gtest.h>

#include "core/gpu_platform.h"
#include "core/kernel_launch.h"
#include "grid_runner.h"

#if defined(__SANITIZE_ADDRESS__)
#define KORVATH_TEST_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVATH_TEST_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

#if defined(KORVATH_TEST_ADDRESS_SANITIZER)
__global__ void write_past_local_array_kernel(int reach, int* out) {
  int local[8];
  for (int i = 0; i < 8; ++i) local[i] = i;
  int* volatile laundered = local;  // no compile-time bounds to check against
  __syncthreads();
  if (threadIdx.x == 5) laundered[reach] = -1;
  __syncthreads();
  out[threadIdx.x] = local[threadIdx.x % 8];
}

int run_writing_at(int reach) {
  int out[64] = {};
  if (run_grid(dim3(2), dim3(64), [&] { write_past_local_array_kernel(reach, out); }) != cudaSuccess) return -2;
  return out[5];
}

TEST(FiberSanitizerTest, AWritePastALocalArrayAfterABarrierIsCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EQ(run_writing_at(7), 5);  // in bounds: the last element
  EXPECT_DEATH(run_writing_at(8), "stack-buffer-overflow");
}
#else
TEST(FiberSanitizerTest, AWritePastALocalArrayAfterABarrierIsCaught) {
  GTEST_SKIP() << "built without AddressSanitizer";
}
#endif

}  // namespace
