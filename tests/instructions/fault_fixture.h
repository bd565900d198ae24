#pragma once
// Small kernels that each break one rule of the hardware, run on the host
// device: each must be caught (a launch fault naming the rule, or a wrong
// result from a run that ends normally) under fixed hostile seeds, and pass
// once mended, ordered and hostile.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/gpu_platform.h"
#include "hostgpu/executor.h"

namespace fault_fixture {

struct Fixture {
  const char* fault;
  std::function<void(bool mended, int* out)> body;
  std::function<int(unsigned)> expected;  // per output slot
  unsigned outputs;
  const char* fault_text;  // a launch fault naming this, or null: a wrong result
  unsigned threads = 128;
  unsigned shared_bytes = 0;
  dim3 grid = dim3(1);
  dim3 cluster = dim3(1);
  int compute_capability = 0;  // of the device; 0: none named
  int registers_per_thread = 0;  // the kernel was compiled with; 0: not declared
};

struct Outcome {
  cudaError_t result;
  std::string fault;
  bool right;
};

// Fixed seeds, so that the table replays; each is one hostile run.
inline const char* const kSeeds[] = {"1", "20261211", "987654321"};

// Runs the fixture with the environment's settings plus `variable`=`value`
// (none when null).
inline Outcome run(const Fixture& f, bool mended, const char* variable, const char* value) {
  if (variable != nullptr) setenv(variable, value, 1);
  std::vector<int> out(f.outputs, -1);
  hostgpu::GridLaunch launch;
  launch.grid = f.grid;
  launch.block = dim3(f.threads);
  launch.dynamic_shared_bytes = f.shared_bytes;
  launch.cluster = f.cluster;
  launch.compute_capability = f.compute_capability;
  launch.registers_per_thread = f.registers_per_thread;
  Outcome outcome;
  outcome.result = hostgpu::execute_grid(launch, [&] { f.body(mended, out.data()); });
  outcome.fault = hostgpu::last_kernel_fault();
  if (variable != nullptr) unsetenv(variable);
  outcome.right = true;
  for (unsigned i = 0; i < f.outputs; ++i) outcome.right = outcome.right && out[i] == f.expected(i);
  return outcome;
}

inline void expect_caught(const Fixture& f, const Outcome& o, const std::string& how) {
  if (f.fault_text != nullptr) {
    EXPECT_EQ(o.result, cudaErrorLaunchFailure) << f.fault << ", " << how;
    EXPECT_NE(o.fault.find(f.fault_text), std::string::npos) << f.fault << ", " << how << ": " << o.fault;
  } else {
    // The kernel runs to its end; what it computed shows the fault.
    EXPECT_EQ(o.result, cudaSuccess) << f.fault << ", " << how << ": " << o.fault;
    EXPECT_FALSE(o.right) << f.fault << " passed, " << how;
  }
}

inline void expect_passes(const Fixture& f, const Outcome& o, const std::string& how) {
  EXPECT_EQ(o.result, cudaSuccess) << f.fault << ", " << how << ": " << o.fault;
  EXPECT_TRUE(o.right) << f.fault << ", " << how;
}

// Each faulty kernel caught under every seed; each mended one passing
// ordered and under every seed.
inline void check_table(const std::vector<Fixture>& fixtures) {
  for (const Fixture& f : fixtures) {
    for (const char* seed : kSeeds) expect_caught(f, run(f, false, "HOSTGPU_HOSTILE", seed), std::string("seed ") + seed);
    for (const char* seed : {static_cast<const char*>(nullptr), kSeeds[0], kSeeds[1], kSeeds[2]}) {
      const Outcome o = run(f, true, seed ? "HOSTGPU_HOSTILE" : nullptr, seed);
      expect_passes(f, o, std::string("mended, seed ") + (seed ? seed : "none"));
    }
  }
}

// The mended kernel on a device of `capability`: it runs right when the
// fixture names no fault, else its launch fails naming it.
inline void expect_on_capability(Fixture f, int capability) {
  f.compute_capability = capability;
  const Outcome o = run(f, true, nullptr, nullptr);
  const std::string how = "capability " + std::to_string(capability);
  if (f.fault_text == nullptr) {
    expect_passes(f, o, how);
  } else {
    expect_caught(f, o, how);
  }
}

}  // namespace fault_fixture
