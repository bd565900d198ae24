#pragma once
#include <cstdint>
#include <vector>

// The two 6-byte pattern blocks bound into a job key; the Hopper sm90 backend
// mines with its own pair, every other backend with the default one.
struct JobKeyPatternPair {
  uint8_t first[6];
  uint8_t second[6];
};
inline constexpr JobKeyPatternPair kHopperSm90JobKeyPatterns{{0x07, 0x01, 0, 0, 0, 0},
                                                             {0x00, 0x01, 0x03, 0x1f, 0, 0}};
inline constexpr JobKeyPatternPair kDefaultJobKeyPatterns{{0x1f, 0x01, 0, 0, 0, 0},
                                                          {0x00, 0x3f, 0, 0, 0, 0}};

// Unkeyed BLAKE3 of the header bytes followed by a 52-byte block holding k,
// the low 16 bits of rank and the two pattern blocks.
void derive_job_key(uint8_t out[32], const std::vector<uint8_t>& header_bytes, uint32_t k,
                    int32_t rank, const uint8_t first_pattern[6], const uint8_t second_pattern[6]);
