#pragma once
// CPU references of the keyed Merkle root and the commitment, and a small
// host-device harness for the tests.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/gpu_platform.h"

using Bytes32 = std::array<uint8_t, 32>;

// The keyed tree built from the shared compression: 1024-byte chunks
// (the last zero-padded), parents level by level, ROOT on the top parent.
Bytes32 reference_merkle_root(const std::vector<uint8_t>& matrix, const Bytes32& key);

// The same root from the BLAKE3 library's keyed hasher over the zero-padded
// bytes (valid for two chunks or more).
Bytes32 library_keyed_root(const std::vector<uint8_t>& matrix, const Bytes32& key);

// The tree over given MT leaves (ROOT on the top parent; one leaf is the root).
Bytes32 reference_tree_over(const std::vector<Bytes32>& leaves, const Bytes32& key);

std::vector<uint8_t> pattern_bytes(size_t count, uint32_t seed);
Bytes32 pattern_key(uint32_t seed);
std::string hex(const uint8_t* bytes, size_t count);
inline std::string hex(const Bytes32& b) { return hex(b.data(), b.size()); }

// One simulated device of the given capability ("8.6", "9.0", ...) for the
// test's lifetime; stream mode "eager" or "deferred".
void use_host_device(const char* capability, const char* streams = "eager");

// Device memory released by its destructor.
struct DeviceBytes {
  uint8_t* ptr = nullptr;
  size_t size = 0;
  explicit DeviceBytes(size_t bytes);
  ~DeviceBytes();
  DeviceBytes(const DeviceBytes&) = delete;
  DeviceBytes& operator=(const DeviceBytes&) = delete;
  void upload(const void* source, size_t bytes, size_t offset = 0);
  Bytes32 download32(size_t offset = 0) const;
};

// A non-blocking stream released by its destructor.
struct TestStream {
  cudaStream_t handle = nullptr;
  TestStream();
  ~TestStream();
  TestStream(const TestStream&) = delete;
  TestStream& operator=(const TestStream&) = delete;
};
