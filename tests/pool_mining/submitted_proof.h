#pragma once
// Checks a proof the miner sent: decoded from base64, its openings read back
// and every root rebuilt from them under the job's key.
#include <cstdint>
#include <string>
#include <vector>

#include "core/job_key.h"

struct ProofShape {
  int32_t m = 256, n = 256, k = 256, rank = 64;
  JobKeyPatternPair key_patterns = kDefaultJobKeyPatterns;  // the row's job key
};

// Empty when the base64 proof verifies for the shape and the key derived
// from the header bytes; otherwise the fault. `a_root_hex` gets A's root.
std::string check_submitted_proof(const std::string& proof_b64, const ProofShape& shape,
                                  const std::vector<uint8_t>& header_bytes,
                                  std::string* a_root_hex = nullptr);

// The third string of a mining.submit line's params (the proof), or "".
std::string proof_of_submit_line(const std::string& line);
