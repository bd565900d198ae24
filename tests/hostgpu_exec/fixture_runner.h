#pragma once
// Fixture kernels for the stand-in's hostile freedoms and lifetime rules:
// each has one fault that a GPU may expose and a mended form. A table of
// them runs each faulty kernel under three fixed hostile seeds (it must fail
// the launch naming the fault, or give a wrong result) and each mended one
// ordered and under the same seeds (it must pass).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/gpu_platform.h"
#include "hostgpu/executor.h"
#include "tile_map.h"

namespace fixtures {

// Fixed, so that the table replays; each is one hostile run.
inline const char* const kSeeds[] = {"1", "20261211", "987654321"};

struct Setting {
  const char* variable;
  const char* value;
};

struct Fixture {
  const char* fault;
  dim3 grid;
  dim3 block;
  std::function<void(bool mended, int* out)> body;
  std::function<int(unsigned)> expected;  // per output slot
  unsigned outputs;
  const char* fault_text;  // a launch fault naming this, or null: a wrong result
  size_t shared_bytes = 0;
  dim3 cluster = dim3(1);
  unsigned blocks_per_sm = 0;
  std::vector<Setting> settings = {};  // besides the hostile ones
  const void* kernel = nullptr;  // the launched kernel, for faults that name it
};

struct Outcome {
  cudaError_t result;
  std::string fault;
  bool right;
};

inline Outcome run(const Fixture& f, bool mended, const char* seed) {
  if (seed != nullptr) setenv("HOSTGPU_HOSTILE", seed, 1);
  for (const Setting& s : f.settings) setenv(s.variable, s.value, 1);
  std::vector<int> out(f.outputs, -1);
  hostgpu::GridLaunch launch;
  launch.grid = f.grid;
  launch.block = f.block;
  launch.dynamic_shared_bytes = f.shared_bytes;
  launch.cluster = f.cluster;
  launch.blocks_per_sm = f.blocks_per_sm;
  launch.kernel = f.kernel;
  Outcome outcome;
  outcome.result = hostgpu::execute_grid(launch, [&] { f.body(mended, out.data()); });
  outcome.fault = outcome.result == cudaSuccess ? "" : hostgpu::last_kernel_fault();
  unsetenv("HOSTGPU_HOSTILE");
  for (const Setting& s : f.settings) unsetenv(s.variable);
  outcome.right = true;
  for (unsigned i = 0; i < f.outputs; ++i) outcome.right = outcome.right && out[i] == f.expected(i);
  return outcome;
}

inline void expect_caught(const Fixture& f) {
  for (const char* seed : kSeeds) {
    const Outcome o = run(f, false, seed);
    if (f.fault_text != nullptr) {
      EXPECT_EQ(o.result, cudaErrorLaunchFailure) << f.fault << ", seed " << seed;
      EXPECT_NE(o.fault.find(f.fault_text), std::string::npos) << f.fault << ", seed " << seed << ": " << o.fault;
    } else {
      EXPECT_TRUE(o.result != cudaSuccess || !o.right) << f.fault << " passed under seed " << seed;
    }
  }
}

inline void expect_mended_passes(const Fixture& f) {
  for (const char* seed : {static_cast<const char*>(nullptr), kSeeds[0], kSeeds[1], kSeeds[2]}) {
    const Outcome o = run(f, true, seed);
    EXPECT_EQ(o.result, cudaSuccess) << f.fault << ", seed " << (seed ? seed : "none") << ": " << o.fault;
    EXPECT_TRUE(o.right) << f.fault << ", seed " << (seed ? seed : "none");
  }
}

}  // namespace fixtures
