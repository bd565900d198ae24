#pragma once
#include <cstdint>

// Loads a 32-byte key or chaining value as eight little-endian words.
void copy_key_words(uint32_t dst[8], const uint8_t src[32]);

// Keyed BLAKE3 of exactly one 64-byte block given as 16 words (serialised
// little-endian): one root compression, equal to the library's keyed hash of
// those 64 bytes.
void blake3_keyed_hash_block(uint8_t out[32], const uint32_t words[16], const uint8_t key[32]);
