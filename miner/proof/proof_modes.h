#pragma once

struct Config;

// The one-shot proof modes of the command line; each prints its report and
// returns 0, leaving every failure as an exception.
int run_proof_self_test();
int run_proof_bench(const Config& config);
int run_gpu_proof_bench(Config& config);
