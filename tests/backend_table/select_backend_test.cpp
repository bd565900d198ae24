#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "backends/backend_descriptor.h"
#include "core/config.h"
#include "core/device_listing.h"

namespace {

cudaDeviceProp device(int major, int minor, int sms = 80, const char* name = "GPU",
                      double gib = 16.0) {
  cudaDeviceProp prop;
  std::memset(&prop, 0, sizeof(prop));
  prop.major = major;
  prop.minor = minor;
  prop.multiProcessorCount = sms;
  std::strncpy(prop.name, name, sizeof(prop.name) - 1);
  prop.totalGlobalMem = static_cast<size_t>(gib * 1024.0 * 1024.0 * 1024.0);
  return prop;
}

std::string selected(const cudaDeviceProp& prop, const std::string& forced = "") {
  Config config;
  config.force_backend = forced;
  return select_backend(config, prop).name;
}

TEST(SelectBackend, ByCapability) {
  struct Case {
    cudaDeviceProp prop;
    const char* row;
  };
  const Case cases[] = {
      {device(7, 0), "volta_sm70"},
      {device(7, 5), "turing_sm75"},
      {device(8, 6), "ampere_sm8x"},
      {device(8, 7), "ampere_sm8x"},
      {device(8, 9), "ada_sm89"},
      {device(9, 0), "hopper_sm90"},
      {device(10, 0), "blackwell_b200_sm100"},
      {device(10, 2), "blackwell_b200_sm100"},
      {device(10, 3), "blackwell_b300_sm103"},
      {device(12, 0), "blackwell_native_sm120"},
      {device(6, 1), "ampere_sm8x"},
      {device(7, 2), "ampere_sm8x"},
      {device(11, 0), "ampere_sm8x"},
      {device(13, 0), "ampere_sm8x"},
      {device(8, 0, 70, "NVIDIA CMP 170HX"), "cmp170hx_sm80"},
      {device(8, 0, 70, "Some CMP card"), "cmp170hx_sm80"},
      {device(8, 0, 108, "NVIDIA CMP 170HX"), "ampere_sm8x"},
      {device(8, 6, 70, "NVIDIA CMP 170HX"), "ampere_sm8x"},
      {device(8, 0, 70, "NVIDIA Graphics Device", 7.0), "cmp170hx_sm80"},
      {device(8, 0, 70, "NVIDIA Graphics Device", 12.0), "cmp170hx_sm80"},
      {device(8, 0, 70, "NVIDIA Graphics Device", 6.9), "ampere_sm8x"},
      {device(8, 0, 70, "NVIDIA Graphics Device", 12.1), "ampere_sm8x"},
      {device(8, 0, 70, "nvidia cmp card"), "ampere_sm8x"},  // the name tests are case-sensitive
  };
  for (const Case& c : cases) {
    EXPECT_EQ(selected(c.prop), c.row)
        << c.prop.major << "." << c.prop.minor << " " << c.prop.name << " sms="
        << c.prop.multiProcessorCount;
  }
}

TEST(SelectBackend, ByForcedNameWithoutLookingAtTheDevice) {
  struct Case {
    const char* forced;
    const char* row;
  };
  const Case cases[] = {
      {"volta", "volta_sm70"},
      {"turing", "turing_sm75"},
      {"ampere", "ampere_sm8x"},
      {"cmp170hx", "cmp170hx_sm80"},
      {"cmp170hx-dp2a", "cmp170hx_dp2a_int"},
      {"cmp170hx-scalar", "cmp170hx_scalar_int"},
      {"ada", "ada_sm89"},
      {"hopper", "hopper_sm90"},
      {"blackwell", "blackwell_sm120"},
      {"blackwell-native", "blackwell_native_sm120"},
      {"blackwell-b200", "blackwell_b200_sm100"},
      {"blackwell_b200_sm100", "blackwell_b200_sm100"},
      {"blackwell-b300", "blackwell_b300_sm103"},
      {"blackwell_b300_sm103", "blackwell_b300_sm103"},
  };
  for (const Case& c : cases) EXPECT_EQ(selected(device(8, 6), c.forced), c.row) << c.forced;
}

TEST(SelectBackend, AnUnknownForcedNameIsRefused) {
  for (const char* forced : {"Volta", " volta", "volta ", "sm80", "blackwell_sm120"}) {
    try {
      selected(device(8, 6), forced);
      ADD_FAILURE() << forced << ": no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()),
                "HEADLESS_MINER_FORCE_BACKEND/--force-backend must be volta, turing, ampere, "
                "cmp170hx, cmp170hx-dp2a, cmp170hx-scalar, ada, hopper, blackwell, "
                "blackwell-native, blackwell-b200, or blackwell-b300");
    }
  }
}

// The device list names the row that selection gives the same device.
TEST(SelectBackend, TheDeviceListAgreesWithSelection) {
  const struct {
    cudaDeviceProp prop;
    const char* force_name;
  } cases[] = {
      {device(7, 0), "volta"},
      {device(7, 5), "turing"},
      {device(8, 6), "ampere"},
      {device(8, 0, 70, "NVIDIA CMP 170HX"), "cmp170hx"},
      {device(8, 9), "ada"},
      {device(9, 0), "hopper"},
      {device(10, 0), "blackwell-b200"},
      {device(10, 3), "blackwell-b300"},
      {device(12, 0), "blackwell-native"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(listing_backend_name(c.prop), c.force_name);
    EXPECT_EQ(selected(c.prop), selected(device(1, 0), c.force_name)) << c.force_name;
  }
}

TEST(SelectBackend, RowShapes) {
  const char* split_rows[] = {"turing", "ampere", "ada", "hopper", "blackwell-native",
                              "blackwell-b200", "blackwell-b300"};
  const char* fused_rows[] = {"volta", "cmp170hx", "cmp170hx-dp2a", "cmp170hx-scalar",
                              "blackwell"};
  for (const char* name : split_rows) {
    Config config;
    config.force_backend = name;
    const GpuBackendDescriptor& row = select_backend(config, device(8, 6));
    // A row whose mining unit is not built into this program yet has no mining slot.
    if (row.launch_headless_mine == nullptr) continue;
    EXPECT_TRUE(is_split_backend(row)) << name;
  }
  for (const char* name : fused_rows) {
    Config config;
    config.force_backend = name;
    const GpuBackendDescriptor& row = select_backend(config, device(8, 6));
    EXPECT_EQ(row.launch_apply_sparse_noise, nullptr) << name;
    EXPECT_EQ(row.launch_headless_mine, nullptr) << name;
    if (row.signal_header_bytes) {
      EXPECT_EQ(row.signal_header_bytes(), 1280u) << name;
      EXPECT_EQ(row.signal_sync_bytes(), 8u) << name;
    }
  }
}

}  // namespace
