#pragma once
// An independent reader and verifier of PlainProof bytes for the tests: it
// recomputes each root from the opened chunks and the sibling hashes with the
// shared one-compression BLAKE3, not with the builder's code.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

using Key32 = std::array<uint8_t, 32>;
using Hash32 = std::array<uint8_t, 32>;

struct ExpectedProof {
  uint64_t m = 0, n = 0, k = 0, rank = 0;
  std::vector<uint64_t> rows;
  std::vector<uint64_t> cols;
  Key32 key{};
};

struct VerifiedProof {
  Hash32 a_root{};
  Hash32 b_root{};
};

// Empty when the proof is sound and says what was expected; else the first fault.
std::string verify_plain_proof(const std::vector<uint8_t>& bytes, const ExpectedProof& expected,
                               VerifiedProof* roots = nullptr);

// The keyed BLAKE3 hash (library hasher) of the bytes zero-padded to whole
// 1024-byte chunks: the tree root for two or more chunks.
Hash32 keyed_hash_zero_padded(const std::vector<int8_t>& matrix, const Key32& key);

// The chaining value of one chunk (counter = index), for one-chunk roots.
Hash32 chunk_chaining_value(const uint8_t* chunk, uint64_t valid_bytes, uint64_t index,
                            const Key32& key);

std::vector<uint8_t> base64_decode(const std::string& text);
std::string to_hex(const uint8_t* bytes, size_t count);
