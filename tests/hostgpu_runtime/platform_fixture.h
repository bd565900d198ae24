#pragma once
#include <gtest/gtest.h>

#include <string>

#include <cuda_runtime_api.h>

// Each test starts from a fresh platform configured by the environment it sets.
class PlatformTest : public ::testing::Test {
 protected:
  void TearDown() override;
  // Sets (or, with null, clears) the variables and re-reads them.
  static void configure(const char* devices, const char* streams = nullptr,
                        const char* poison = nullptr);
};

std::string error_text(cudaError_t error);
