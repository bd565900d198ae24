#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <iostream>

#include "core/codecs.h"
#include "core/config.h"
#include "proof/plain_proof.h"
#include "proof/proof_bench_inputs.h"
#include "proof/proof_hash.h"
#include "proof/proof_modes.h"
#include "proof/steady_seconds.h"

namespace {

long max_resident_kb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int run_proof_bench(const Config& config) {
  require_bench_shape(config, "--proof-bench");
  const OpenedRowsCols opened = bench_opened_rows_cols();
  const std::array<uint8_t, 32> key = bench_key();
  const uint64_t a_bytes = static_cast<uint64_t>(matrix_bytes(config.m, config.k));
  const uint64_t b_bytes = static_cast<uint64_t>(matrix_bytes(config.n, config.k));
  std::cout << "proof_bench allocating A+B host matrices: "
            << static_cast<double>(a_bytes + b_bytes) * std::ldexp(1.0, -30) << " GiB\n"
            << std::flush;
  const std::vector<int8_t> a = fill_bench_matrix(BenchMatrix::A, a_bytes);
  const std::vector<int8_t> b = fill_bench_matrix(BenchMatrix::B, b_bytes);

  // Each tree is hashed once: the proof is written from the two openings
  // (the same bytes build_plain_proof gives) instead of hashing both again.
  const auto t0 = std::chrono::steady_clock::now();
  const MatrixOpening a_tree =
      build_merkle_tree(a.data(), a.data() + a.size(), config.k, opened.rows, key.data());
  const MatrixOpening b_tree =
      build_merkle_tree(b.data(), b.data() + b.size(), config.k, opened.cols, key.data());
  const std::vector<uint8_t> proof = plain_proof_from_openings(a_tree, b_tree, config);
  const auto t1 = std::chrono::steady_clock::now();

  const std::array<uint8_t, 32> hash = proof_bytes_hash(proof);
  std::cout << "proof_bench raw_bytes=" << proof.size() << " proof_hash=" << hex32(hash.data())
            << " a_root=" << hex32(a_tree.root.data()) << " b_root=" << hex32(b_tree.root.data())
            << " build_seconds=" << steady_seconds(t0, t1) << " maxrss_kb=" << max_resident_kb()
            << "\n";
  return 0;
}
