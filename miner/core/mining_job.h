#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The opened columns of a job by default: 0, 1, ..., 63.
std::vector<int32_t> default_opened_columns();

// One unit of work, as every job source fills it and every attempt binds to it.
struct MiningJob {
  std::vector<uint8_t> header_bytes;
  std::string header_b64;
  std::string target_text;
  std::string job_id;
  uint64_t generation = 0;
  bool clean = true;
  std::string share_nbits;
  double difficulty = 0;
  int32_t m = 131072;
  int32_t n = 131072;
  int32_t k = 4096;
  int32_t rank = 128;
  std::vector<int32_t> rows_pattern{0, 32};
  std::vector<int32_t> cols_pattern = default_opened_columns();
  std::array<uint32_t, 8> target{};  // 256-bit share target, word 0 least significant
};
