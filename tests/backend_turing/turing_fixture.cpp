#include "turing_fixture.h"

#include <cstdlib>

#include "mining_attempt.h"

void TuringDeviceTest::SetUp() {
  setenv("HOSTGPU_DEVICES", "7.5,Host Turing,8192,40", 1);
  hostgpu::inspect::reinitialise();
}

// One record per thread of every tile and rank step.
size_t dump_records(int m, int n, int k, int rank) {
  const size_t threads = size_t(m / 128 + 1) * size_t(n / 128 + 1) * 128;
  return threads * size_t(rank > 0 ? k / rank + 1 : 1);
}

const GpuBackendDescriptor& turing_row() { return forced_row("turing"); }

FusedBuffers::FusedBuffers(int m, int n, int k, int rank)
    : a(size_t(m) * k), b(size_t(n) * k), a_left(size_t(m) * rank), b_left(size_t(n) * rank),
      a_right(size_t(rank) * k), b_right(size_t(rank) * k), noised_a(size_t(m) * k),
      noised_b(size_t(n) * k), a_i0(k), a_i1(k), b_i0(k), b_i1(k), target(8), seed(8), extra(1),
      sync(1), header(1), entries(dump_records(m, n, k, rank)),
      values(dump_records(m, n, k, rank) * 128), value_counts(dump_records(m, n, k, rank) * 128) {}
