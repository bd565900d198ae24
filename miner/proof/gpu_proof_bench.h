#pragma once
// The end of the GPU proof benchmark: the byte comparison and its report.
#include <cstdint>
#include <ostream>
#include <vector>

struct ProofBytesComparison {
  bool match = false;
  uint64_t first_mismatch = 0;  // 0 on a match; else the first differing offset or the shorter length
};

ProofBytesComparison compare_proof_bytes(const std::vector<uint8_t>& cpu,
                                         const std::vector<uint8_t>& gpu);

struct GpuProofBenchTimes {
  double cpu_seconds = 0;
  double gpu_seconds = 0;
  double compact_d2h_seconds = 0;
};

// Writes the "gpu_proof_bench" line; when the bytes differ it then raises
// "GPU proof bytes differ from CPU proof bytes".
void report_gpu_proof_bench(std::ostream& out, const std::vector<uint8_t>& cpu,
                            const std::vector<uint8_t>& gpu, const GpuProofBenchTimes& times);
