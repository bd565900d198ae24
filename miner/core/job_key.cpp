#include "core/job_key.h"

#include <blake3.h>

#include <cstring>

void derive_job_key(uint8_t out[32], const std::vector<uint8_t>& header_bytes, uint32_t k,
                    int32_t rank, const uint8_t first_pattern[6], const uint8_t second_pattern[6]) {
  uint8_t block[52] = {};
  for (int i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(k >> (8 * i));
  const uint16_t rank_low = static_cast<uint16_t>(static_cast<uint32_t>(rank));
  block[4] = static_cast<uint8_t>(rank_low);
  block[5] = static_cast<uint8_t>(rank_low >> 8);
  std::memcpy(block + 8, first_pattern, 6);
  std::memcpy(block + 14, second_pattern, 6);

  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, header_bytes.data(), header_bytes.size());
  blake3_hasher_update(&hasher, block, sizeof(block));
  blake3_hasher_finalize(&hasher, out, 32);
}
