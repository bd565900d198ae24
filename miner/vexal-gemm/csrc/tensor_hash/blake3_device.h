#pragma once
// BLAKE3 as the device code uses it: one compression at a time on 32-bit
// words. The same functions run on the CPU for the references, so host and
// device agree by construction.
#include <cstdint>

#include "core/gpu_platform.h"

namespace blake3 {

// Flag bits of the compression function.
enum : uint32_t {
  CHUNK_START = 1u << 0,
  CHUNK_END = 1u << 1,
  PARENT = 1u << 2,
  ROOT = 1u << 3,
  KEYED_HASH = 1u << 4,
};

constexpr uint32_t kBlockLen = 64;
constexpr uint32_t kChunkLen = 1024;

// {counter, block length, flags} of a compression.
struct CompressParams {
  uint64_t counter;
  uint32_t block_len;
  uint32_t flags;
};

__host__ __device__ __forceinline__ uint32_t iv(int i) {
  // The initialisation words (those of SHA-256).
  constexpr uint32_t kIv[8] = {0x6A09E667u, 0xBB67AE85u, 0x3C6EF372u, 0xA54FF53Au,
                               0x510E527Fu, 0x9B05688Cu, 0x1F83D9ABu, 0x5BE0CD19u};
  return kIv[i];
}

__host__ __device__ __forceinline__ uint32_t rotr32(uint32_t w, uint32_t c) {
  return (w >> c) | (w << (32 - c));
}

__host__ __device__ __forceinline__ void g(uint32_t* v, int a, int b, int c, int d, uint32_t x,
                                           uint32_t y) {
  v[a] = v[a] + v[b] + x;
  v[d] = rotr32(v[d] ^ v[a], 16);
  v[c] = v[c] + v[d];
  v[b] = rotr32(v[b] ^ v[c], 12);
  v[a] = v[a] + v[b] + y;
  v[d] = rotr32(v[d] ^ v[a], 8);
  v[c] = v[c] + v[d];
  v[b] = rotr32(v[b] ^ v[c], 7);
}

// The full 16-word output of one compression: words 0..7 are the new chaining
// value, words 8..15 the second half of a 64-byte extended output.
__host__ __device__ inline void compress(const uint32_t cv[8], const uint32_t block[16],
                                         uint64_t counter, uint32_t block_len, uint32_t flags,
                                         uint32_t out[16]) {
  constexpr uint8_t kPermutation[16] = {2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8};
  uint32_t v[16] = {cv[0],  cv[1],  cv[2],  cv[3],
                    cv[4],  cv[5],  cv[6],  cv[7],
                    iv(0),  iv(1),  iv(2),  iv(3),
                    static_cast<uint32_t>(counter), static_cast<uint32_t>(counter >> 32),
                    block_len, flags};
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = block[i];
  for (int round = 0; round < 7; ++round) {
    g(v, 0, 4, 8, 12, m[0], m[1]);
    g(v, 1, 5, 9, 13, m[2], m[3]);
    g(v, 2, 6, 10, 14, m[4], m[5]);
    g(v, 3, 7, 11, 15, m[6], m[7]);
    g(v, 0, 5, 10, 15, m[8], m[9]);
    g(v, 1, 6, 11, 12, m[10], m[11]);
    g(v, 2, 7, 8, 13, m[12], m[13]);
    g(v, 3, 4, 9, 14, m[14], m[15]);
    if (round < 6) {
      uint32_t permuted[16];
      for (int i = 0; i < 16; ++i) permuted[i] = m[kPermutation[i]];
      for (int i = 0; i < 16; ++i) m[i] = permuted[i];
    }
  }
  for (int i = 0; i < 8; ++i) {
    out[i] = v[i] ^ v[i + 8];
    out[i + 8] = v[i + 8] ^ cv[i];
  }
}

// The chaining value only.
__host__ __device__ inline void compress_cv(const uint32_t cv[8], const uint32_t block[16],
                                            uint64_t counter, uint32_t block_len, uint32_t flags,
                                            uint32_t out_cv[8]) {
  uint32_t out[16];
  compress(cv, block, counter, block_len, flags, out);
  for (int i = 0; i < 8; ++i) out_cv[i] = out[i];
}

// 64 bytes as 16 little-endian words (the machines we run on are little-endian).
__host__ __device__ __forceinline__ uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

__host__ __device__ __forceinline__ void store_le32(uint8_t* p, uint32_t w) {
  p[0] = static_cast<uint8_t>(w);
  p[1] = static_cast<uint8_t>(w >> 8);
  p[2] = static_cast<uint8_t>(w >> 16);
  p[3] = static_cast<uint8_t>(w >> 24);
}

// The keyed hash of exactly one 64-byte block (the whole input), as 8 words.
__host__ __device__ inline void keyed_hash_block(const uint32_t key[8], const uint32_t block[16],
                                                 uint32_t out[8]) {
  compress_cv(key, block, 0, kBlockLen, CHUNK_START | CHUNK_END | ROOT | KEYED_HASH, out);
}

// Parent node of a keyed tree; `root` for the top node.
__host__ __device__ inline void keyed_parent(const uint32_t key[8], const uint32_t left[8],
                                             const uint32_t right[8], bool root, uint32_t out[8]) {
  uint32_t block[16];
  for (int i = 0; i < 8; ++i) {
    block[i] = left[i];
    block[i + 8] = right[i];
  }
  compress_cv(key, block, 0, kBlockLen, PARENT | KEYED_HASH | (root ? ROOT : 0u), out);
}

}  // namespace blake3
