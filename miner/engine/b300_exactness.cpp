#include "engine/b300_exactness.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "backends/kernel_signal.h"
#include "core/config.h"
#include "core/cuda_check.h"
#include "engine/cpu_tile_transcript.h"
#include "engine/device_buffer.h"
#include "proof/candidate_rows_cols.h"

namespace {

constexpr int kRows = 256;
constexpr int kK = 128;
constexpr int kRank = 128;

// The page-locked header of the check's launch, freed on every path.
struct PinnedHeader {
  HostSignalHeader* header = nullptr;
  PinnedHeader() {
    void* memory = nullptr;
    check_cuda(cudaHostAlloc(&memory, sizeof(HostSignalHeader), 0), "exactness check header");
    header = static_cast<HostSignalHeader*>(memory);
    std::memset(header, 0, sizeof(HostSignalHeader));
  }
  ~PinnedHeader() { cudaFreeHost(header); }
  PinnedHeader(const PinnedHeader&) = delete;
  PinnedHeader& operator=(const PinnedHeader&) = delete;
};

template <typename T>
OwnedDeviceBuffer<T> device_copy(const std::vector<T>& values, const char* step) {
  OwnedDeviceBuffer<T> buffer(allocate_device_buffer<T>(values.size(), step));
  check_cuda(cudaMemcpy(buffer.data(), values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice),
             step);
  return buffer;
}

std::string hex_word(uint32_t word) {
  char text[11];
  std::snprintf(text, sizeof(text), "0x%08x", word);
  return text;
}

}  // namespace

std::vector<int8_t> exactness_rows(int rows, uint32_t salt) {
  std::vector<int8_t> values(static_cast<size_t>(rows) * kK);
  for (int r = 0; r < rows; ++r) {
    for (int k = 0; k < kK; ++k) {
      uint32_t mix = (static_cast<uint32_t>(r) * 0x9E3779B1u) ^ (static_cast<uint32_t>(k) * 0x85EBCA77u) ^
                     (salt * 0xC2B2AE3Du);
      mix ^= mix >> 16;
      mix *= 0x7FEB352Du;
      mix ^= mix >> 15;
      const int8_t small = (mix >> 7) & 1u ? int8_t{-1} : int8_t{1};
      values[static_cast<size_t>(r) * kK + k] = k % 2 == 0 ? int8_t{-128} : small;
    }
  }
  return values;
}

void check_bf16_exactness(const GpuBackendDescriptor& row, const cudaDeviceProp& prop, int device) {
  if (std::string(row.name) != "blackwell_b300_sm103" || !row.launch_headless_mine) return;
  const std::vector<int8_t> a = exactness_rows(kRows, 0x5eedu);
  const std::vector<int8_t> b = exactness_rows(kRows, 0xb0b5u);
  const std::vector<uint32_t> target(8, 0xffffffffu);  // every digest: the first candidate reports
  const std::vector<uint32_t> seed = {0x243f6a88u, 0x85a308d3u, 0x13198a2eu, 0x03707344u,
                                      0xa4093822u, 0x299f31d0u, 0x082efa98u, 0xec4e6c89u};
  const auto a_device = device_copy(a, "exactness check operands");
  const auto b_device = device_copy(b, "exactness check operands");
  const auto target_device = device_copy(target, "exactness check target");
  const auto seed_device = device_copy(seed, "exactness check seed");
  OwnedDeviceBuffer<HostSignalSync> sync(allocate_device_buffer<HostSignalSync>(1, "exactness check sync"));
  check_cuda(cudaMemset(sync.data(), 0, sizeof(HostSignalSync)), "exactness check sync");
  PinnedHeader pinned;
  check_cuda(row.launch_headless_mine(a_device.data(), b_device.data(), kRows, kRows, kK, pinned.header,
                                      sync.data(), target_device.data(), seed_device.data(), kRank,
                                      nullptr, nullptr),
             "exactness check launch");
  check_cuda(cudaDeviceSynchronize(), "exactness check");

  const std::string where = std::string(row.name) + " on device " + std::to_string(device) + " (" + prop.name +
                            ", compute capability " + std::to_string(prop.major) + "." +
                            std::to_string(prop.minor) + ")";
  const HostSignalHeader& header = *pinned.header;
  if (header.status != 1u) {
    throw std::runtime_error(where + ": the bf16 exactness check tile reported no candidate; nothing is mined");
  }
  const OpenedRowsCols opened = candidate_rows_cols(header);
  std::vector<int8_t> a_rows;
  for (uint64_t r : opened.rows) a_rows.insert(a_rows.end(), a.begin() + r * kK, a.begin() + (r + 1) * kK);
  std::vector<int8_t> b_rows;
  for (uint64_t c : opened.cols) b_rows.insert(b_rows.end(), b.begin() + c * kK, b.begin() + (c + 1) * kK);
  Config shape;
  shape.k = kK;
  shape.rank = kRank;
  uint8_t key[32];
  for (int i = 0; i < 8; ++i) {
    for (int byte = 0; byte < 4; ++byte) key[4 * i + byte] = static_cast<uint8_t>(seed[i] >> (8 * byte));
  }
  uint8_t hash[32];
  uint32_t words[16];
  cpu_tile_transcript(hash, a_rows, b_rows, opened, key, shape, words);
  for (int i = 0; i < 16; ++i) {
    if (header.transcript[i] != words[i]) {
      throw std::runtime_error(where + ": the bf16 tensor-core sums of the exactness check tile differ from the "
                               "CPU's (transcript word " + std::to_string(i) + " " + hex_word(header.transcript[i]) +
                               ", the CPU's " + hex_word(words[i]) + "); nothing is mined");
    }
  }
  if (std::memcmp(header.kernel_hash, hash, 32) != 0) {
    throw std::runtime_error(where + ": the exactness check tile's digest differs from the CPU's; nothing is mined");
  }
}
