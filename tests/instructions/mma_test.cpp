// The int8 tensor-core MMA shapes against the PTX ISA's fragment layouts:
// fragments are packed here from the documented (lane, register, byte) to
// (row, column) maps, and the results compared with a CPU product.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "block_runner.h"
#include "core/device_instructions.h"

namespace {

struct Shape {
  int m, n, k;
  int a_registers, b_registers, c_registers;
};
constexpr Shape m8n8k16{8, 8, 16, 1, 1, 2};
constexpr Shape m16n8k32{16, 8, 32, 4, 2, 4};

// Where byte `byte` of A register `reg` of `lane` lies in A (row, k); likewise B (k, column), C (row, column).
void a_position(const Shape& s, int lane, int reg, int byte, int* row, int* k) {
  *row = lane / 4 + (s.m == 16 ? 8 * (reg % 2) : 0);
  *k = 4 * (lane % 4) + byte + (s.m == 16 ? 16 * (reg / 2) : 0);
}
void b_position(int lane, int reg, int byte, int* k, int* column) {
  *k = 4 * (lane % 4) + byte + 16 * reg;
  *column = lane / 4;
}
void c_position(const Shape& s, int lane, int reg, int* row, int* column) {
  *row = lane / 4 + (s.m == 16 ? 8 * (reg / 2) : 0);
  *column = 2 * (lane % 4) + reg % 2;
}

struct Operands {
  std::vector<int8_t> a;   // m x k, row-major
  std::vector<int8_t> b;   // k x n, b[k * n + column]
  std::vector<int32_t> c;  // m x n, row-major
};

struct Fragments {
  uint32_t a[4] = {};
  uint32_t b[2] = {};
  uint32_t c[4] = {};
};

std::vector<Fragments> pack(const Shape& s, const Operands& o) {
  std::vector<Fragments> lanes(32);
  for (int lane = 0; lane < 32; ++lane) {
    Fragments& f = lanes[lane];
    for (int reg = 0; reg < s.a_registers; ++reg) {
      for (int byte = 0; byte < 4; ++byte) {
        int row, k;
        a_position(s, lane, reg, byte, &row, &k);
        f.a[reg] |= uint32_t(uint8_t(o.a[row * s.k + k])) << (8 * byte);
      }
    }
    for (int reg = 0; reg < s.b_registers; ++reg) {
      for (int byte = 0; byte < 4; ++byte) {
        int k, column;
        b_position(lane, reg, byte, &k, &column);
        f.b[reg] |= uint32_t(uint8_t(o.b[k * s.n + column])) << (8 * byte);
      }
    }
    for (int reg = 0; reg < s.c_registers; ++reg) {
      int row, column;
      c_position(s, lane, reg, &row, &column);
      f.c[reg] = uint32_t(o.c[row * s.n + column]);
    }
  }
  return lanes;
}

std::vector<int32_t> cpu_product(const Shape& s, const Operands& o) {
  std::vector<int32_t> d(s.m * s.n);
  for (int row = 0; row < s.m; ++row) {
    for (int column = 0; column < s.n; ++column) {
      int64_t sum = o.c[row * s.n + column];
      for (int k = 0; k < s.k; ++k) sum += int64_t{o.a[row * s.k + k]} * o.b[k * s.n + column];
      d[row * s.n + column] = int32_t(uint32_t(uint64_t(sum)));  // the accumulator wraps
    }
  }
  return d;
}

void execute(const Shape& s, const Fragments& in, Fragments* out) {
  uint32_t* d = out->c;
  if (s.m == 8) {
    device_instructions::mma_m8n8k16_s8(d[0], d[1], in.a[0], in.b[0], in.c[0], in.c[1]);
  } else {
    device_instructions::mma_m16n8k32_s8(d[0], d[1], d[2], d[3], in.a[0], in.a[1], in.a[2], in.a[3], in.b[0],
                                         in.b[1], in.c[0], in.c[1], in.c[2], in.c[3]);
  }
}

// Runs the shape on one block; every warp multiplies the same operands.
std::vector<int32_t> run_mma(const Shape& s, const Operands& o, dim3 block = dim3(32)) {
  const std::vector<Fragments> in = pack(s, o);
  const unsigned threads = block.x * block.y * block.z;
  std::vector<Fragments> out(threads);
  EXPECT_EQ(run_block(block, [&] {
              const unsigned thread = linear_thread();
              execute(s, in[thread % 32], &out[thread]);
            }),
            cudaSuccess)
      << last_fault();
  std::vector<int32_t> d(s.m * s.n, 0);
  for (unsigned thread = 0; thread < threads; ++thread) {
    for (int reg = 0; reg < s.c_registers; ++reg) {
      int row, column;
      c_position(s, int(thread % 32), reg, &row, &column);
      const int32_t value = int32_t(out[thread].c[reg]);
      if (thread < 32) {
        d[row * s.n + column] = value;
      } else {
        EXPECT_EQ(value, d[row * s.n + column]) << "thread " << thread << " disagrees with its lane in warp 0";
      }
    }
  }
  return d;
}

Operands zeros(const Shape& s) {
  return Operands{std::vector<int8_t>(s.m * s.k, 0), std::vector<int8_t>(s.k * s.n, 0),
                  std::vector<int32_t>(s.m * s.n, 0)};
}

// B selects column k = n + 8 * slice of A: the product shows 8 columns of A,
// whose elements are all different within the slice.
Operands read_out_a(const Shape& s, int slice) {
  Operands o = zeros(s);
  for (int row = 0; row < s.m; ++row) {
    for (int k = 0; k < s.k; ++k) o.a[row * s.k + k] = int8_t(uint8_t(row * 8 + k % 8 + 64 * (k / 8) + 128));
  }
  for (int column = 0; column < s.n; ++column) o.b[(column + 8 * slice) * s.n + column] = 1;
  return o;
}

// A selects row k = row + m * slice of B.
Operands read_out_b(const Shape& s, int slice) {
  Operands o = zeros(s);
  for (int k = 0; k < s.k; ++k) {
    for (int column = 0; column < s.n; ++column) o.b[k * s.n + column] = int8_t(uint8_t(k * 8 + column + 128 + 3));
  }
  for (int row = 0; row < s.m; ++row) o.a[row * s.k + row + s.m * slice] = 1;
  return o;
}

Operands accumulators_only(const Shape& s) {
  Operands o = zeros(s);
  for (int i = 0; i < s.m * s.n; ++i) o.c[i] = 1000003 * (i + 1) - 40000000;
  return o;
}

Operands mixed(const Shape& s) {
  Operands o = zeros(s);
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 24;
  };
  for (auto& v : o.a) v = int8_t(uint8_t(next()));
  for (auto& v : o.b) v = int8_t(uint8_t(next()));
  for (auto& v : o.c) v = int32_t(next() * 4099u) - 500000;
  return o;
}

// -128 * -128 summed over k on top of the largest accumulator wraps around.
Operands wrapping(const Shape& s) {
  Operands o = zeros(s);
  for (auto& v : o.a) v = -128;
  for (auto& v : o.b) v = -128;
  for (auto& v : o.c) v = INT32_MAX;
  return o;
}

struct Case {
  const char* name;
  std::function<Operands(const Shape&)> operands;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"read out A, slice 0", [](const Shape& s) { return read_out_a(s, 0); }},
      {"read out A, slice 1", [](const Shape& s) { return read_out_a(s, 1); }},
      {"read out A, slice 3", [](const Shape& s) { return s.k == 32 ? read_out_a(s, 3) : read_out_a(s, 1); }},
      {"read out B, slice 0", [](const Shape& s) { return read_out_b(s, 0); }},
      {"read out B, slice 1", [](const Shape& s) { return read_out_b(s, 1); }},
      {"accumulators only", accumulators_only},
      {"mixed values", mixed},
      {"wrapping sum", wrapping},
  };
  return all;
}

void expect_cases(const Shape& s) {
  for (const Case& c : cases()) {
    const Operands o = c.operands(s);
    EXPECT_EQ(run_mma(s, o), cpu_product(s, o)) << c.name;
  }
}

TEST(MmaTest, M8n8k16FollowsTheDocumentedFragments) { expect_cases(m8n8k16); }

TEST(MmaTest, M16n8k32FollowsTheDocumentedFragments) { expect_cases(m16n8k32); }

TEST(MmaTest, LanesCountAlongTheLinearThreadIndexOfEveryWarp) {
  const Operands o = mixed(m16n8k32);
  EXPECT_EQ(run_mma(m16n8k32, o, dim3(4, 8, 2)), cpu_product(m16n8k32, o));
}

TEST(MmaTest, AWarpWithALaneMissingFaults) {
  const std::vector<Fragments> in = pack(m16n8k32, mixed(m16n8k32));
  ASSERT_EQ(run_block(dim3(32), [&] {
              Fragments out;
              if (linear_thread() == 5) return;
              execute(m16n8k32, in[linear_thread()], &out);
            }),
            cudaErrorLaunchFailure);
  EXPECT_NE(last_fault().find("mma.sync.m16n8k32.s8"), std::string::npos) << last_fault();
  EXPECT_NE(last_fault().find("which returned"), std::string::npos) << last_fault();
}

TEST(MmaTest, LanesAtDifferentShapesFault) {
  const std::vector<Fragments> in = pack(m16n8k32, mixed(m16n8k32));
  ASSERT_EQ(run_block(dim3(32), [&] {
              Fragments out;
              execute(linear_thread() < 16 ? m16n8k32 : m8n8k16, in[linear_thread()], &out);
            }),
            cudaErrorLaunchFailure);
  EXPECT_NE(last_fault().find("meets lane"), std::string::npos) << last_fault();
}

}  // namespace
