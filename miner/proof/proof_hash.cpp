#include "proof/proof_hash.h"

#include "blake3.h"

std::array<uint8_t, 32> proof_bytes_hash(const std::vector<uint8_t>& bytes) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, bytes.data(), bytes.size());
  std::array<uint8_t, 32> hash{};
  blake3_hasher_finalize(&hasher, hash.data(), hash.size());
  return hash;
}
