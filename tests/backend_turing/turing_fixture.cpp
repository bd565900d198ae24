#include "turing_fixture.h"

#include <cstdlib>

#include "mining_attempt.h"

void TuringDeviceTest::SetUp() {
  setenv("HOSTGPU_DEVICES", "7.5,Host Turing,8192,40", 1);
  hostgpu::inspect::reinitialise();
}

const GpuBackendDescriptor& turing_row() { return forced_row("turing"); }

FusedBuffers::FusedBuffers(int m, int n, int k, int rank)
    : a(size_t(m) * k), b(size_t(n) * k), a_left(size_t(m) * rank), b_left(size_t(n) * rank),
      a_right(size_t(rank) * k), b_right(size_t(rank) * k), noised_a(size_t(m) * k),
      noised_b(size_t(n) * k), a_i0(k), a_i1(k), b_i0(k), b_i1(k), target(8), seed(8), extra(1),
      sync(1), header(1), entries(1), values(1), value_counts(1) {}
