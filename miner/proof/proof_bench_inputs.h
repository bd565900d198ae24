#pragma once
// The fixed inputs of the proof self-test and the proof benchmarks: every
// value is a function of the shape, so a shape's hashes never change.
#include <array>
#include <cstdint>
#include <vector>

#include "proof/plain_proof.h"

struct Config;

enum class BenchMatrix { A, B };

// A: element i is (i mod 127) - 63; B: (3i mod 127) - 63.
std::vector<int8_t> fill_bench_matrix(BenchMatrix which, uint64_t elements);

std::array<uint8_t, 32> self_test_key();
std::array<uint8_t, 32> bench_key();

// A rows 0 and 32, B columns 0 to 63.
OpenedRowsCols bench_opened_rows_cols();

// The benchmarks open those rows and columns, so they need m >= 33, n >= 64
// and k >= 1; anything smaller is refused before allocating.
void require_bench_shape(const Config& config, const char* mode);
