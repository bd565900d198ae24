#include "core/blake3_block.h"

extern "C" {
#include <blake3_impl.h>
}

void copy_key_words(uint32_t dst[8], const uint8_t src[32]) {
  for (int i = 0; i < 8; ++i) dst[i] = load32(src + 4 * i);
}

void blake3_keyed_hash_block(uint8_t out[32], const uint32_t words[16], const uint8_t key[32]) {
  uint8_t block[BLAKE3_BLOCK_LEN];
  for (int i = 0; i < 16; ++i) store32(block + 4 * i, words[i]);
  uint32_t cv[8];
  copy_key_words(cv, key);
  blake3_compress_in_place(cv, block, BLAKE3_BLOCK_LEN, 0,
                           CHUNK_START | CHUNK_END | ROOT | KEYED_HASH);
  store_cv_words(out, cv);
}
