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

// A row of `bytes` bytes, i * 5 + 7 at i, and a tensor map whose box is all of it.
inline const unsigned char* tile_bytes() {
  alignas(256) static unsigned char tile[256];
  for (unsigned i = 0; i < 256; ++i) tile[i] = static_cast<unsigned char>(i * 5 + 7);
  return tile;
}

inline CUtensorMap tile_map(unsigned bytes) {
  CUtensorMap map;
  const cuuint64_t dims[2] = {bytes, 1};
  const cuuint64_t strides[1] = {bytes};
  const cuuint32_t box[2] = {bytes, 1};
  const cuuint32_t element_strides[2] = {1, 1};
  EXPECT_EQ(cuTensorMapEncodeTiled(&map, CU_TENSOR_MAP_DATA_TYPE_UINT8, 2, const_cast<unsigned char*>(tile_bytes()),
                                   dims, strides, box, element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE,
                                   CU_TENSOR_MAP_SWIZZLE_NONE, CU_TENSOR_MAP_L2_PROMOTION_NONE,
                                   CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE),
            CUDA_SUCCESS);
  return map;
}

}  // namespace fixtures
