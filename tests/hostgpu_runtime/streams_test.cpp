#include <cstring>
#include <vector>

#include "platform_fixture.h"

namespace {

constexpr size_t kBytes = 64;

// Two non-blocking streams and a device buffer, in the mode under test.
class StreamOrderTest : public PlatformTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    configure(nullptr, GetParam());
    ASSERT_EQ(cudaStreamCreateWithFlags(&producer, cudaStreamNonBlocking), cudaSuccess);
    ASSERT_EQ(cudaStreamCreateWithFlags(&consumer, cudaStreamNonBlocking), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&produced, cudaEventDisableTiming), cudaSuccess);
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&buffer), kBytes), cudaSuccess);
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&copy), kBytes), cudaSuccess);
    ASSERT_EQ(cudaMemset(buffer, 0, kBytes), cudaSuccess);
    ASSERT_EQ(cudaMemset(copy, 0, kBytes), cudaSuccess);
  }
  bool deferred() const { return std::strcmp(GetParam(), "deferred") == 0; }
  std::vector<unsigned char> read(const unsigned char* device) {
    std::vector<unsigned char> host(kBytes);
    EXPECT_EQ(cudaMemcpy(host.data(), device, kBytes, cudaMemcpyDeviceToHost), cudaSuccess);
    return host;
  }
  // The consumer copies the buffer after the producer filled it, waiting or not.
  std::vector<unsigned char> produce_then_consume(bool wait) {
    EXPECT_EQ(cudaMemsetAsync(buffer, 7, kBytes, producer), cudaSuccess);
    EXPECT_EQ(cudaEventRecord(produced, producer), cudaSuccess);
    if (wait) {
      EXPECT_EQ(cudaStreamWaitEvent(consumer, produced, 0), cudaSuccess);
    }
    EXPECT_EQ(cudaMemcpyAsync(copy, buffer, kBytes, cudaMemcpyDeviceToDevice, consumer), cudaSuccess);
    EXPECT_EQ(cudaStreamSynchronize(consumer), cudaSuccess);
    std::vector<unsigned char> result = read(copy);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    return result;
  }

  cudaStream_t producer = nullptr;
  cudaStream_t consumer = nullptr;
  cudaEvent_t produced = nullptr;
  unsigned char* buffer = nullptr;
  unsigned char* copy = nullptr;
};

TEST_P(StreamOrderTest, AWaitOnTheProducersEventGivesTheProducedBytes) {
  EXPECT_EQ(produce_then_consume(true), std::vector<unsigned char>(kBytes, 7));
}

TEST_P(StreamOrderTest, LeavingOutTheWaitShowsInDeferredMode) {
  const std::vector<unsigned char> expected(kBytes, deferred() ? 0 : 7);
  EXPECT_EQ(produce_then_consume(false), expected);
}

TEST_P(StreamOrderTest, AStreamLessCopyDoesNotWaitForNonBlockingStreams) {
  ASSERT_EQ(cudaMemsetAsync(buffer, 3, kBytes, producer), cudaSuccess);
  const std::vector<unsigned char> expected(kBytes, deferred() ? 0 : 3);
  EXPECT_EQ(read(buffer), expected);
  ASSERT_EQ(cudaStreamSynchronize(producer), cudaSuccess);
  EXPECT_EQ(read(buffer), std::vector<unsigned char>(kBytes, 3));
}

TEST_P(StreamOrderTest, OperationsOfOneStreamRunInOrder) {
  ASSERT_EQ(cudaMemsetAsync(buffer, 1, kBytes, producer), cudaSuccess);
  ASSERT_EQ(cudaMemcpyAsync(copy, buffer, kBytes, cudaMemcpyDeviceToDevice, producer), cudaSuccess);
  ASSERT_EQ(cudaMemsetAsync(buffer, 2, kBytes, producer), cudaSuccess);
  ASSERT_EQ(cudaStreamSynchronize(producer), cudaSuccess);
  EXPECT_EQ(read(copy), std::vector<unsigned char>(kBytes, 1));
  EXPECT_EQ(read(buffer), std::vector<unsigned char>(kBytes, 2));
}

TEST_P(StreamOrderTest, PageableSourcesAreCapturedAtCallTime) {
  std::vector<unsigned char> host(kBytes, 5);
  ASSERT_EQ(cudaMemcpyAsync(buffer, host.data(), kBytes, cudaMemcpyHostToDevice, producer),
            cudaSuccess);
  host.assign(kBytes, 9);
  ASSERT_EQ(cudaStreamSynchronize(producer), cudaSuccess);
  EXPECT_EQ(read(buffer), std::vector<unsigned char>(kBytes, 5));
}

TEST_P(StreamOrderTest, PinnedSourcesAreReadWhenTheCopyRuns) {
  unsigned char* pinned = nullptr;
  ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&pinned), kBytes, cudaHostAllocDefault),
            cudaSuccess);
  std::memset(pinned, 5, kBytes);
  ASSERT_EQ(cudaMemcpyAsync(buffer, pinned, kBytes, cudaMemcpyHostToDevice, producer), cudaSuccess);
  std::memset(pinned, 9, kBytes);
  ASSERT_EQ(cudaStreamSynchronize(producer), cudaSuccess);
  EXPECT_EQ(read(buffer), std::vector<unsigned char>(kBytes, deferred() ? 9 : 5));
  EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
}

TEST_P(StreamOrderTest, DeviceToPageableHostIsCompleteOnReturn) {
  ASSERT_EQ(cudaMemsetAsync(buffer, 4, kBytes, producer), cudaSuccess);
  std::vector<unsigned char> host(kBytes, 0);
  ASSERT_EQ(cudaMemcpyAsync(host.data(), buffer, kBytes, cudaMemcpyDeviceToHost, producer),
            cudaSuccess);
  EXPECT_EQ(host, std::vector<unsigned char>(kBytes, 4));
}

TEST_P(StreamOrderTest, MemsetAcceptsPinnedHostMemory) {
  unsigned char* pinned = nullptr;
  ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&pinned), kBytes, cudaHostAllocDefault),
            cudaSuccess);
  std::memset(pinned, 1, kBytes);
  ASSERT_EQ(cudaMemsetAsync(pinned, 0, kBytes, producer), cudaSuccess);
  ASSERT_EQ(cudaStreamSynchronize(producer), cudaSuccess);
  EXPECT_EQ(std::vector<unsigned char>(pinned, pinned + kBytes), std::vector<unsigned char>(kBytes, 0));
  EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
}

TEST_P(StreamOrderTest, DeviceSynchronizeDrainsEveryStream) {
  ASSERT_EQ(cudaMemsetAsync(buffer, 6, kBytes, producer), cudaSuccess);
  ASSERT_EQ(cudaMemsetAsync(copy, 8, kBytes, consumer), cudaSuccess);
  ASSERT_EQ(cudaStreamQuery(producer), deferred() ? cudaErrorNotReady : cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(cudaStreamQuery(producer), cudaSuccess);
  EXPECT_EQ(read(buffer), std::vector<unsigned char>(kBytes, 6));
  EXPECT_EQ(read(copy), std::vector<unsigned char>(kBytes, 8));
}

TEST_P(StreamOrderTest, DestroyingAStreamStillCompletesItsWork) {
  ASSERT_EQ(cudaMemsetAsync(buffer, 2, kBytes, producer), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(producer), cudaSuccess);
  EXPECT_EQ(read(buffer), std::vector<unsigned char>(kBytes, 2));
  EXPECT_EQ(cudaStreamSynchronize(producer), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(error_text(cudaGetLastError()), "invalid resource handle");
}

TEST_P(StreamOrderTest, FreeingWaitsForPendingWork) {
  unsigned char* pinned = nullptr;
  ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&pinned), kBytes, cudaHostAllocDefault),
            cudaSuccess);
  ASSERT_EQ(cudaMemsetAsync(buffer, 3, kBytes, producer), cudaSuccess);
  ASSERT_EQ(cudaMemcpyAsync(pinned, buffer, kBytes, cudaMemcpyDeviceToHost, producer), cudaSuccess);
  ASSERT_EQ(cudaFree(buffer), cudaSuccess);
  EXPECT_EQ(std::vector<unsigned char>(pinned, pinned + kBytes), std::vector<unsigned char>(kBytes, 3));
  EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
}

INSTANTIATE_TEST_SUITE_P(Modes, StreamOrderTest, ::testing::Values("eager", "deferred"));

using StreamTest = PlatformTest;

TEST_F(StreamTest, PrioritiesAreThoseOfARealDevice) {
  configure(nullptr);
  int least = 1;
  int greatest = 1;
  ASSERT_EQ(cudaDeviceGetStreamPriorityRange(&least, &greatest), cudaSuccess);
  EXPECT_EQ(least, 0);
  EXPECT_EQ(greatest, -5);
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreateWithPriority(&stream, cudaStreamNonBlocking, -9), cudaSuccess);
  int priority = 0;
  ASSERT_EQ(cudaStreamGetPriority(stream, &priority), cudaSuccess);
  EXPECT_EQ(priority, -5);  // clamped into the range
  EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
}

TEST_F(StreamTest, BlockingStreamsAndTheLegacyStreamWaitForEachOther) {
  configure(nullptr, "deferred");
  cudaStream_t blocking = nullptr;
  ASSERT_EQ(cudaStreamCreate(&blocking), cudaSuccess);
  unsigned char* buffer = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&buffer), kBytes), cudaSuccess);
  ASSERT_EQ(cudaMemsetAsync(buffer, 5, kBytes, blocking), cudaSuccess);
  std::vector<unsigned char> host(kBytes, 0);
  ASSERT_EQ(cudaMemcpy(host.data(), buffer, kBytes, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(host, std::vector<unsigned char>(kBytes, 5));
  EXPECT_EQ(cudaStreamDestroy(blocking), cudaSuccess);
}

}  // namespace
