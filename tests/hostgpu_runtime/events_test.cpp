#include <vector>

#include "platform_fixture.h"

namespace {

constexpr size_t kBytes = 32;

class EventTest : public PlatformTest {
 protected:
  void SetUp() override {
    configure(nullptr, "deferred");
    ASSERT_EQ(cudaStreamCreateWithFlags(&first, cudaStreamNonBlocking), cudaSuccess);
    ASSERT_EQ(cudaStreamCreateWithFlags(&second, cudaStreamNonBlocking), cudaSuccess);
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&buffer), kBytes), cudaSuccess);
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&copy), kBytes), cudaSuccess);
    ASSERT_EQ(cudaMemset(buffer, 0, kBytes), cudaSuccess);
    ASSERT_EQ(cudaMemset(copy, 0, kBytes), cudaSuccess);
  }
  std::vector<unsigned char> read(const unsigned char* device) {
    std::vector<unsigned char> host(kBytes);
    EXPECT_EQ(cudaMemcpy(host.data(), device, kBytes, cudaMemcpyDeviceToHost), cudaSuccess);
    return host;
  }
  cudaStream_t first = nullptr;
  cudaStream_t second = nullptr;
  unsigned char* buffer = nullptr;
  unsigned char* copy = nullptr;
};

TEST_F(EventTest, ANeverRecordedEventIsComplete) {
  cudaEvent_t event = nullptr;
  ASSERT_EQ(cudaEventCreate(&event), cudaSuccess);
  EXPECT_EQ(cudaEventQuery(event), cudaSuccess);
  EXPECT_EQ(cudaEventSynchronize(event), cudaSuccess);
  EXPECT_EQ(cudaStreamWaitEvent(second, event, 0), cudaSuccess);
  EXPECT_EQ(cudaEventDestroy(event), cudaSuccess);
}

TEST_F(EventTest, AnEventIsPendingUntilItsStreamRuns) {
  cudaEvent_t event = nullptr;
  ASSERT_EQ(cudaEventCreateWithFlags(&event, cudaEventDisableTiming), cudaSuccess);
  ASSERT_EQ(cudaMemsetAsync(buffer, 1, kBytes, first), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(event, first), cudaSuccess);
  EXPECT_EQ(cudaEventQuery(event), cudaErrorNotReady);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // not ready is no error
  ASSERT_EQ(cudaEventSynchronize(event), cudaSuccess);
  EXPECT_EQ(cudaEventQuery(event), cudaSuccess);
  EXPECT_EQ(read(buffer), std::vector<unsigned char>(kBytes, 1));
  cudaEventDestroy(event);
}

TEST_F(EventTest, ElapsedTimeNeedsTwoTimedRecordedEvents) {
  cudaEvent_t start = nullptr;
  cudaEvent_t stop = nullptr;
  cudaEvent_t untimed = nullptr;
  ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
  ASSERT_EQ(cudaEventCreate(&stop), cudaSuccess);
  ASSERT_EQ(cudaEventCreateWithFlags(&untimed, cudaEventDisableTiming), cudaSuccess);
  float ms = -1.0f;
  EXPECT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaErrorInvalidResourceHandle);  // not recorded
  ASSERT_EQ(cudaEventRecord(start, first), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(stop, first), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(untimed, first), cudaSuccess);
  EXPECT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaErrorNotReady);
  ASSERT_EQ(cudaStreamSynchronize(first), cudaSuccess);
  EXPECT_EQ(cudaEventElapsedTime(&ms, start, untimed), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(error_text(cudaGetLastError()), "invalid resource handle");
  ASSERT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
  EXPECT_GE(ms, 0.0f);
  for (cudaEvent_t e : {start, stop, untimed}) cudaEventDestroy(e);
}

TEST_F(EventTest, AWaitCapturesTheMostRecentRecordAtCallTime) {
  cudaEvent_t event = nullptr;
  ASSERT_EQ(cudaEventCreateWithFlags(&event, cudaEventDisableTiming), cudaSuccess);
  ASSERT_EQ(cudaMemsetAsync(buffer, 1, kBytes, first), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(event, first), cudaSuccess);
  ASSERT_EQ(cudaStreamWaitEvent(second, event, 0), cudaSuccess);
  // Recording again later moves the event, but not the wait already made.
  ASSERT_EQ(cudaMemsetAsync(buffer, 2, kBytes, first), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(event, first), cudaSuccess);
  ASSERT_EQ(cudaMemcpyAsync(copy, buffer, kBytes, cudaMemcpyDeviceToDevice, second), cudaSuccess);
  ASSERT_EQ(cudaStreamSynchronize(second), cudaSuccess);
  EXPECT_EQ(read(copy), std::vector<unsigned char>(kBytes, 1));
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(read(buffer), std::vector<unsigned char>(kBytes, 2));
  cudaEventDestroy(event);
}

TEST_F(EventTest, DestroyedEventsAreInvalidHandles) {
  cudaEvent_t event = nullptr;
  ASSERT_EQ(cudaEventCreate(&event), cudaSuccess);
  ASSERT_EQ(cudaEventDestroy(event), cudaSuccess);
  EXPECT_EQ(cudaEventRecord(event, first), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaEventSynchronize(event), cudaErrorInvalidResourceHandle);
  cudaGetLastError();
}

}  // namespace
