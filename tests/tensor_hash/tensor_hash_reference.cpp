#include "tensor_hash_reference.h"

#include <blake3.h>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <hostgpu/inspect.h>

#include "tensor_hash/blake3_device.h"

namespace {

void words_of(const uint8_t* bytes, int count, uint32_t* words) {
  for (int i = 0; i < count; ++i) words[i] = blake3::load_le32(bytes + 4 * i);
}

Bytes32 bytes_of(const uint32_t words[8]) {
  Bytes32 out;
  for (int i = 0; i < 8; ++i) blake3::store_le32(out.data() + 4 * i, words[i]);
  return out;
}

std::vector<uint8_t> zero_padded(const std::vector<uint8_t>& matrix) {
  std::vector<uint8_t> padded(matrix);
  const size_t chunks = padded.empty() ? 1 : (padded.size() + 1023) / 1024;
  padded.resize(chunks * 1024, 0);
  return padded;
}

void check(cudaError_t result, const char* step) {
  if (result != cudaSuccess) throw std::runtime_error(std::string(step) + ": " + cudaGetErrorString(result));
}

}  // namespace

Bytes32 reference_tree_over(const std::vector<Bytes32>& leaves, const Bytes32& key) {
  uint32_t key_words[8];
  words_of(key.data(), 8, key_words);
  std::vector<Bytes32> level = leaves;
  while (level.size() > 1) {
    std::vector<Bytes32> next;
    for (size_t i = 0; i + 1 < level.size(); i += 2) {
      uint32_t left[8], right[8], parent[8];
      words_of(level[i].data(), 8, left);
      words_of(level[i + 1].data(), 8, right);
      blake3::keyed_parent(key_words, left, right, level.size() == 2, parent);
      next.push_back(bytes_of(parent));
    }
    if (level.size() % 2 == 1) next.push_back(level.back());
    level.swap(next);
  }
  return level.front();
}

Bytes32 reference_merkle_root(const std::vector<uint8_t>& matrix, const Bytes32& key) {
  uint32_t key_words[8];
  words_of(key.data(), 8, key_words);
  const std::vector<uint8_t> padded = zero_padded(matrix);
  std::vector<Bytes32> chunks;
  for (size_t c = 0; c * 1024 < padded.size(); ++c) {
    uint32_t cv[8];
    std::memcpy(cv, key_words, sizeof(cv));
    for (uint32_t b = 0; b < 16; ++b) {
      uint32_t block[16];
      words_of(padded.data() + c * 1024 + b * 64, 16, block);
      uint32_t flags = blake3::KEYED_HASH | (b == 0 ? blake3::CHUNK_START : 0u) |
                       (b == 15 ? blake3::CHUNK_END : 0u);
      blake3::compress_cv(cv, block, c, 64, flags, cv);
    }
    chunks.push_back(bytes_of(cv));
  }
  return reference_tree_over(chunks, key);
}

Bytes32 library_keyed_root(const std::vector<uint8_t>& matrix, const Bytes32& key) {
  const std::vector<uint8_t> padded = zero_padded(matrix);
  blake3_hasher hasher;
  blake3_hasher_init_keyed(&hasher, key.data());
  blake3_hasher_update(&hasher, padded.data(), padded.size());
  Bytes32 out;
  blake3_hasher_finalize(&hasher, out.data(), out.size());
  return out;
}

std::vector<uint8_t> pattern_bytes(size_t count, uint32_t seed) {
  std::vector<uint8_t> bytes(count);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<uint8_t>(x);
  }
  return bytes;
}

Bytes32 pattern_key(uint32_t seed) {
  const std::vector<uint8_t> bytes = pattern_bytes(32, seed + 1000);
  Bytes32 key;
  std::memcpy(key.data(), bytes.data(), key.size());
  return key;
}

std::string hex(const uint8_t* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

void use_host_device(const char* capability, const char* streams) {
  const std::string device = std::string(capability) + ",Host GPU,4096,8";
  setenv("HOSTGPU_DEVICES", device.c_str(), 1);
  setenv("HOSTGPU_STREAMS", streams, 1);
  hostgpu::inspect::reinitialise();
  check(cudaSetDevice(0), "cudaSetDevice");
}

DeviceBytes::DeviceBytes(size_t bytes) : size(bytes) {
  check(cudaMalloc(reinterpret_cast<void**>(&ptr), bytes), "cudaMalloc");
}

DeviceBytes::~DeviceBytes() { cudaFree(ptr); }

void DeviceBytes::upload(const void* source, size_t bytes, size_t offset) {
  check(cudaMemcpy(ptr + offset, source, bytes, cudaMemcpyHostToDevice), "cudaMemcpy");
}

Bytes32 DeviceBytes::download32(size_t offset) const {
  Bytes32 out;
  check(cudaDeviceSynchronize(), "cudaDeviceSynchronize");
  check(cudaMemcpy(out.data(), ptr + offset, out.size(), cudaMemcpyDeviceToHost), "cudaMemcpy");
  return out;
}

TestStream::TestStream() {
  check(cudaStreamCreateWithFlags(&handle, cudaStreamNonBlocking), "cudaStreamCreateWithFlags");
}

TestStream::~TestStream() { cudaStreamDestroy(handle); }
