// Device constants: one copy per device, found by the address the program
// passes to cudaMemcpyToSymbol, initialised from the declaration.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>

#include "core/gpu_platform.h"
#include "grid_runner.h"

namespace test_constants {

struct CompressParams {
  uint64_t counter;
  uint32_t block_length;
  uint32_t flags;
};

KORVATH_DEVICE_CONSTANT(uint32_t[8], initial_words, 0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                        0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u);
KORVATH_DEVICE_CONSTANT(CompressParams, root_params, 0, 64, 28);
KORVATH_DEVICE_CONSTANT(uint8_t[32], key);

}  // namespace test_constants

namespace {

using test_constants::CompressParams;

struct Seen {
  uint32_t words[8];
  CompressParams params;
  uint8_t key[32];
};
__global__ void read_constants_kernel(Seen* seen) {
  int i = 0;
  for (uint32_t word : test_constants::initial_words) seen->words[i++] = word;
  seen->params = test_constants::root_params;
  for (int b = 0; b < 32; ++b) seen->key[b] = test_constants::key[b];
}

TEST(ConstantMemoryTest, DeclarationsHaveTheirTypeSizeAndInitialValues) {
  EXPECT_EQ(sizeof(test_constants::initial_words), 32u);
  EXPECT_EQ(sizeof(test_constants::root_params), 16u);
  EXPECT_EQ(sizeof(test_constants::key), 32u);
  Seen seen{};
  ASSERT_EQ(run_grid(dim3(1), dim3(1), [&] { read_constants_kernel(&seen); }, 0, 7), cudaSuccess);
  EXPECT_EQ(seen.words[0], 0x6a09e667u);
  EXPECT_EQ(seen.words[7], 0x5be0cd19u);
  EXPECT_EQ(seen.params.counter, 0u);
  EXPECT_EQ(seen.params.block_length, 64u);
  EXPECT_EQ(seen.params.flags, 28u);
  for (uint8_t b : seen.key) EXPECT_EQ(b, 0);
}

TEST(ConstantMemoryTest, EachDeviceSeesWhatWasWrittenForIt) {
  size_t bytes = 0;
  auto* device0 = static_cast<uint8_t*>(hostgpu::constant_symbol_storage(&test_constants::key, 0, &bytes));
  ASSERT_NE(device0, nullptr);
  EXPECT_EQ(bytes, 32u);
  auto* device1 = static_cast<uint8_t*>(hostgpu::constant_symbol_storage(&test_constants::key, 1, &bytes));
  ASSERT_NE(device1, nullptr);
  ASSERT_NE(device0, device1);
  std::memset(device0, 0xa0, 32);
  std::memset(device1, 0xb1, 32);
  auto* params1 = static_cast<CompressParams*>(hostgpu::constant_symbol_storage(&test_constants::root_params, 1, &bytes));
  ASSERT_NE(params1, nullptr);
  params1->flags = 20;

  Seen seen0{}, seen1{};
  // Concurrently, as two devices' mining threads would.
  std::thread first([&] { EXPECT_EQ(run_grid(dim3(1), dim3(1), [&] { read_constants_kernel(&seen0); }, 0, 0), cudaSuccess); });
  std::thread second([&] { EXPECT_EQ(run_grid(dim3(1), dim3(1), [&] { read_constants_kernel(&seen1); }, 0, 1), cudaSuccess); });
  first.join();
  second.join();
  for (int b = 0; b < 32; ++b) {
    EXPECT_EQ(seen0.key[b], 0xa0);
    EXPECT_EQ(seen1.key[b], 0xb1);
  }
  EXPECT_EQ(seen0.params.flags, 28u);
  EXPECT_EQ(seen1.params.flags, 20u);
  // Host code reads the declaration's image, never a device's copy.
  EXPECT_EQ(static_cast<const uint8_t*>(test_constants::key)[0], 0);
}

TEST(ConstantMemoryTest, AddressesThatAreNotDeviceConstantsHaveNoStorage) {
  size_t bytes = 99;
  int not_a_constant = 0;
  EXPECT_EQ(hostgpu::constant_symbol_storage(&not_a_constant, 0, &bytes), nullptr);
  EXPECT_EQ(hostgpu::constant_symbol_storage(&test_constants::initial_words[1], 0, &bytes), nullptr);
  EXPECT_EQ(hostgpu::constant_symbol_storage(&test_constants::key, -1, &bytes), nullptr);
  EXPECT_EQ(bytes, 99u);
}

}  // namespace
