#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <hostgpu/inspect.h>

#include "core/cuda_check.h"
#include "core/cuda_streams.h"
#include "core/device_rows.h"

namespace {

std::string thrown(void (*call)(int), int code) {
  try {
    call(code);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

class CudaUtilitiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("HOSTGPU_DEVICES");
    unsetenv("HOSTGPU_STREAMS");
    hostgpu::inspect::reinitialise();
  }
};

TEST_F(CudaUtilitiesTest, CheckCudaNamesTheStepAndTheRuntimeText) {
  EXPECT_NO_THROW(check_cuda(cudaSuccess, "fill"));
  EXPECT_EQ(thrown([](int c) { check_cuda(static_cast<cudaError_t>(c), "fill"); },
                   cudaErrorInvalidValue),
            "fill: invalid argument");
  EXPECT_EQ(thrown([](int c) { check_cuda(static_cast<cudaError_t>(c), "alloc A"); },
                   cudaErrorMemoryAllocation),
            "alloc A: out of memory");
}

TEST_F(CudaUtilitiesTest, CheckCuGivesTheDriverNameAndDescription) {
  EXPECT_NO_THROW(check_cu(CUDA_SUCCESS, "cuInit"));
  const char* name = nullptr;
  const char* text = nullptr;
  // The detail is whatever the driver says of the code.
  const std::string known =
      thrown([](int c) { check_cu(static_cast<CUresult>(c), "cuDeviceGet"); },
             CUDA_ERROR_INVALID_DEVICE);
  EXPECT_EQ(known.rfind("cuDeviceGet: CUDA_ERROR_INVALID_DEVICE: ", 0), 0u) << known;
  (void)name;
  (void)text;
  // A code the driver does not know has no name and no description.
  EXPECT_EQ(thrown([](int c) { check_cu(static_cast<CUresult>(c), "cuInit"); }, 987654),
            "cuInit: CUDA_ERROR");
}

TEST_F(CudaUtilitiesTest, StreamMakersReplaceTheStreamTheyAreGiven) {
  cudaStream_t stream = nullptr;
  create_low_priority_stream(stream, "low");
  ASSERT_NE(stream, nullptr);
  int least = 0, greatest = 0, priority = 99;
  ASSERT_EQ(cudaDeviceGetStreamPriorityRange(&least, &greatest), cudaSuccess);
  ASSERT_EQ(cudaStreamGetPriority(stream, &priority), cudaSuccess);
  EXPECT_EQ(priority, least);
  unsigned int flags = 0;
  ASSERT_EQ(cudaStreamGetFlags(stream, &flags), cudaSuccess);
  EXPECT_EQ(flags, static_cast<unsigned int>(cudaStreamNonBlocking));

  create_high_priority_stream(stream, "high");
  ASSERT_EQ(cudaStreamGetPriority(stream, &priority), cudaSuccess);
  EXPECT_EQ(priority, greatest);

  create_nonblocking_stream(stream, "plain");
  ASSERT_EQ(cudaStreamGetFlags(stream, &flags), cudaSuccess);
  EXPECT_EQ(flags, static_cast<unsigned int>(cudaStreamNonBlocking));
  cudaStreamDestroy(stream);
}

TEST_F(CudaUtilitiesTest, EventMakersAndHolder) {
  CudaEventHolder timed = create_event("timed");
  CudaEventHolder untimed = create_untimed_event("untimed");
  ASSERT_NE(timed.event, nullptr);
  ASSERT_NE(untimed.event, nullptr);
  ASSERT_EQ(cudaEventRecord(timed.event, nullptr), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(untimed.event, nullptr), cudaSuccess);
  ASSERT_EQ(cudaEventSynchronize(untimed.event), cudaSuccess);
  float ms = 0;
  EXPECT_EQ(cudaEventElapsedTime(&ms, timed.event, timed.event), cudaSuccess);
  EXPECT_NE(cudaEventElapsedTime(&ms, untimed.event, untimed.event), cudaSuccess);
  cudaGetLastError();

  CudaEventHolder moved = std::move(timed);
  EXPECT_EQ(timed.event, nullptr);
  EXPECT_NE(moved.event, nullptr);
}

TEST_F(CudaUtilitiesTest, RowCopiesReadTheRowsTheyAreAskedFor) {
  constexpr int32_t kRowBytes = 16;
  constexpr int kRows = 6;
  std::vector<int8_t> host(kRows * kRowBytes);
  for (size_t i = 0; i < host.size(); ++i) host[i] = static_cast<int8_t>(i * 3 + 1);
  int8_t* device = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&device), host.size()), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(device, host.data(), host.size(), cudaMemcpyHostToDevice), cudaSuccess);

  const std::vector<uint8_t> rows = copy_rows_to_host(device, 2, 3, kRowBytes, "rows");
  ASSERT_EQ(rows.size(), 3u * kRowBytes);
  for (int i = 0; i < 3 * kRowBytes; ++i) {
    EXPECT_EQ(static_cast<int8_t>(rows[i]), host[2 * kRowBytes + i]);
  }
  EXPECT_TRUE(copy_rows_to_host(device, 0, 0, kRowBytes, "none").empty());

  const std::vector<uint8_t> gathered = gather_device_rows(device, {5, 0, 5}, kRowBytes, "gather");
  ASSERT_EQ(gathered.size(), 3u * kRowBytes);
  const int order[] = {5, 0, 5};
  for (int r = 0; r < 3; ++r) {
    for (int b = 0; b < kRowBytes; ++b) {
      EXPECT_EQ(static_cast<int8_t>(gathered[r * kRowBytes + b]), host[order[r] * kRowBytes + b]);
    }
  }
  EXPECT_TRUE(gather_device_rows(device, {}, kRowBytes, "gather").empty());

  // A row past the allocation fails with the step's name.
  try {
    gather_device_rows(device, {0, 1000}, kRowBytes, "gather far");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("gather far: ", 0), 0u) << e.what();
  }
  cudaGetLastError();
  cudaFree(device);
}

}  // namespace
