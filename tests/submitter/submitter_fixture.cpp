#include "submitter_fixture.h"

#include <cstdlib>
#include <thread>

#include "core/cuda_check.h"
#include "core/log.h"
#include "core/gpu_platform.h"
#include "core/kernel_launch.h"
#include "hostgpu/inspect.h"

namespace {

std::atomic<bool> proof_started{false};
std::atomic<bool> proof_released{false};

// Stands for a GPU proof build that finishes when the test says so.
__global__ void held_proof_kernel(int unused) {
  (void)unused;
  proof_started.store(true);
  while (!proof_released.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

void HostDeviceTest::SetUp() {
  setenv("HOSTGPU_DEVICES", "8.6,Host GPU,4096,8", 1);
  unsetenv("HOSTGPU_STREAMS");
  hostgpu::inspect::reinitialise();
  log_debug_enabled = true;
}

void HostDeviceTest::TearDown() {
  log_debug_enabled = false;
  unsetenv("HOSTGPU_DEVICES");
  unsetenv("HOSTGPU_STREAMS");
  hostgpu::inspect::reinitialise();
}

void HostDeviceTest::use_deferred_streams() {
  setenv("HOSTGPU_STREAMS", "deferred", 1);
  hostgpu::inspect::reinitialise();
}

MiningJob job_of(const std::string& job_id, uint64_t generation) {
  MiningJob job;
  job.job_id = job_id;
  job.generation = generation;
  return job;
}

ProofTask make_task(const MiningJob& job, std::vector<uint8_t> bytes) {
  ProofTask task;
  task.compact_proof = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
  task.event = create_untimed_event("test proof event");
  task.job = job;
  task.job_key_hex = std::string(64, 'a');
  return task;
}

HeldProof::HeldProof() {
  proof_started = false;
  proof_released = false;
  check_cuda(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), "held proof stream");
}

HeldProof::~HeldProof() {
  release();
  if (stream != nullptr) cudaStreamDestroy(stream);
}

ProofTask HeldProof::task_for(const MiningJob& job) {
  ProofTask task = make_task(job);
  check_cuda(launch_kernel(held_proof_kernel, dim3(1), dim3(1), 0, stream, 0), "held proof launch");
  check_cuda(cudaEventRecord(task.event.event, stream), "held proof record");
  return task;
}

bool HeldProof::wait_until_waited_on() {
  return eventually([] { return proof_started.load(); });
}

void HeldProof::release() { proof_released = true; }

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

size_t count_of(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}
