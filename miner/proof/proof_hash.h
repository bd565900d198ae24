#pragma once
#include <array>
#include <cstdint>
#include <vector>

// The unkeyed 32-byte BLAKE3 hash of a proof's bytes, as the reports print it.
std::array<uint8_t, 32> proof_bytes_hash(const std::vector<uint8_t>& bytes);
