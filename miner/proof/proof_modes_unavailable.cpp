#include <stdexcept>

#include "proof/proof_modes.h"

// This build has no proof builder yet.
int run_proof_self_test() {
  throw std::runtime_error("--proof-self-test is not available in this build");
}
int run_proof_bench(const Config&) {
  throw std::runtime_error("--proof-bench is not available in this build");
}
int run_gpu_proof_bench(Config&) {
  throw std::runtime_error("--gpu-proof-bench is not available in this build");
}
