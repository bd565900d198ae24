#include "submitted_proof.h"

#include "core/job_key.h"
#include "proof_verifier.h"

namespace {

// Reads just enough of the byte format to learn which rows and columns the
// proof opens; the verifier then checks everything else.
struct OpenedReader {
  const std::vector<uint8_t>& bytes;
  size_t at = 0;
  bool failed = false;

  uint64_t u64() {
    if (at + 8 > bytes.size()) {
      failed = true;
      return 0;
    }
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(bytes[at + i]) << (8 * i);
    at += 8;
    return value;
  }
  void skip(uint64_t count) {
    if (count > bytes.size() - at) failed = true;
    at = failed ? bytes.size() : at + count;
  }
  std::vector<uint64_t> list() {
    std::vector<uint64_t> values;
    const uint64_t count = u64();
    if (count > bytes.size() / 8) failed = true;
    for (uint64_t i = 0; i < count && !failed; ++i) values.push_back(u64());
    return values;
  }
  std::vector<uint64_t> opening() {
    const uint64_t chunks = u64();
    if (chunks > bytes.size() / 1032) failed = true;
    for (uint64_t i = 0; i < chunks && !failed; ++i) skip(8 + 1024);
    list();      // leaf indices
    u64();       // leaf count
    skip(32);    // root
    const uint64_t siblings = u64();
    if (siblings > bytes.size() / 32) failed = true;
    if (!failed) skip(siblings * 32);
    return list();
  }
};

}  // namespace

std::string check_submitted_proof(const std::string& proof_b64, const ProofShape& shape,
                                  const std::vector<uint8_t>& header_bytes,
                                  std::string* a_root_hex) {
  const std::vector<uint8_t> bytes = base64_decode(proof_b64);
  OpenedReader reader{bytes};
  reader.skip(32);
  ExpectedProof expected;
  expected.rows = reader.opening();
  expected.cols = reader.opening();
  if (reader.failed) return "proof bytes are truncated";
  if (expected.rows.empty() || expected.cols.empty()) return "proof opens nothing";
  expected.m = static_cast<uint64_t>(shape.m);
  expected.n = static_cast<uint64_t>(shape.n);
  expected.k = static_cast<uint64_t>(shape.k);
  expected.rank = static_cast<uint64_t>(shape.rank);
  derive_job_key(expected.key.data(), header_bytes, static_cast<uint32_t>(shape.k), shape.rank,
                 shape.key_patterns.first, shape.key_patterns.second);
  VerifiedProof roots;
  const std::string fault = verify_plain_proof(bytes, expected, &roots);
  if (fault.empty() && a_root_hex) *a_root_hex = to_hex(roots.a_root.data(), roots.a_root.size());
  return fault;
}

std::string proof_of_submit_line(const std::string& line) {
  const std::string marker = "\"method\":\"mining.submit\",\"params\":[";
  size_t at = line.find(marker);
  if (at == std::string::npos) return "";
  at += marker.size();
  for (int field = 0; field < 3; ++field) {
    const size_t open = line.find('"', at);
    if (open == std::string::npos) return "";
    const size_t close = line.find('"', open + 1);
    if (close == std::string::npos) return "";
    if (field == 2) return line.substr(open + 1, close - open - 1);
    at = close + 1;
  }
  return "";
}
