#include <iostream>

#include "core/codecs.h"
#include "core/config.h"
#include "proof/plain_proof.h"
#include "proof/proof_bench_inputs.h"
#include "proof/proof_modes.h"

int run_proof_self_test() {
  // A fixed tiny input, whatever the options say, so the text is a known answer.
  Config shape;
  shape.m = 2;
  shape.n = 2;
  shape.k = 1024;
  shape.rank = 32;
  const std::vector<int8_t> a = fill_bench_matrix(BenchMatrix::A, matrix_bytes(shape.m, shape.k));
  const std::vector<int8_t> b = fill_bench_matrix(BenchMatrix::B, matrix_bytes(shape.n, shape.k));
  OpenedRowsCols opened;
  opened.rows = {0};
  opened.cols = {1};
  const std::array<uint8_t, 32> key = self_test_key();
  const std::vector<uint8_t> proof =
      build_plain_proof(a.data(), a.data() + a.size(), b, opened, key.data(), shape);
  std::cout << base64_encode(proof) << "\n";
  return 0;
}
