// The matrix loads against the PTX ISA's thread-to-row address mapping and
// register layout: lane 8j + r addresses row r of matrix j, and lane l gets
// elements (l / 4, 2 (l % 4) + h) of each matrix, or (2 (l % 4) + h, l / 4)
// with .trans, h the register's half.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "block_runner.h"
#include "core/device_instructions.h"
#include "hostgpu/device_shared.h"

namespace {

// Distinct 16-bit elements: matrix j, row r, column c.
uint16_t element(int j, int r, int c) { return uint16_t(0x1000 * (j + 1) + 0x100 * r + 0x11 * c + 0x3); }

// Rows are scattered over shared memory in a permuted order with gaps.
constexpr int kRowStride = 48;
int row_slot(int j, int r) { return ((8 * j + r) * 11 + 5) % 32; }

void fill_rows(unsigned char* shared) {
  for (int j = 0; j < 4; ++j) {
    for (int r = 0; r < 8; ++r) {
      for (int c = 0; c < 8; ++c) {
        const uint16_t value = element(j, r, c);
        std::memcpy(shared + row_slot(j, r) * kRowStride + 2 * c, &value, 2);
      }
    }
  }
}

void load(int matrices, bool trans, const void* row, uint32_t* d) {
  using namespace device_instructions;
  switch (matrices * 2 + (trans ? 1 : 0)) {
    case 2: ldmatrix_x1(d[0], row); break;
    case 3: ldmatrix_x1_trans(d[0], row); break;
    case 4: ldmatrix_x2(d[0], d[1], row); break;
    case 5: ldmatrix_x2_trans(d[0], d[1], row); break;
    case 8: ldmatrix_x4(d[0], d[1], d[2], d[3], row); break;
    case 9: ldmatrix_x4_trans(d[0], d[1], d[2], d[3], row); break;
  }
}

uint32_t documented_register(int lane, int j, bool trans) {
  const int g = lane / 4;
  const int t = lane % 4;
  if (trans) return uint32_t{element(j, 2 * t, g)} | uint32_t{element(j, 2 * t + 1, g)} << 16;
  return uint32_t{element(j, g, 2 * t)} | uint32_t{element(j, g, 2 * t + 1)} << 16;
}

TEST(LdmatrixTest, EveryFormFollowsTheDocumentedMapping) {
  struct Form {
    int matrices;
    bool trans;
  };
  for (const Form form : {Form{1, false}, Form{1, true}, Form{2, false}, Form{2, true}, Form{4, false},
                          Form{4, true}}) {
    std::vector<uint32_t> out(64 * 4, 0);
    ASSERT_EQ(run_block(dim3(64),
                        [&] {
                          unsigned char* shared = hostgpu::dynamic_shared<unsigned char>();
                          const unsigned thread = linear_thread();
                          const int lane = int(thread % 32);
                          if (thread == 0) fill_rows(shared);
                          __syncthreads();
                          // Lanes beyond the loaded matrices give addresses that must not be used.
                          const int j = lane / 8;
                          const void* row = j < form.matrices ? shared + row_slot(j, lane % 8) * kRowStride
                                                              : static_cast<const void*>(shared + 3);
                          load(form.matrices, form.trans, row, &out[thread * 4]);
                        },
                        32 * kRowStride),
              cudaSuccess)
        << last_fault();
    for (int thread = 0; thread < 64; ++thread) {
      for (int j = 0; j < form.matrices; ++j) {
        EXPECT_EQ(out[thread * 4 + j], documented_register(thread % 32, j, form.trans))
            << "x" << form.matrices << (form.trans ? ".trans" : "") << " thread " << thread << " register " << j;
      }
    }
  }
}

TEST(LdmatrixTest, AMisalignedRowAddressFaults) {
  ASSERT_EQ(run_block(dim3(32),
                      [&] {
                        unsigned char* shared = hostgpu::dynamic_shared<unsigned char>();
                        const unsigned lane = linear_thread();
                        uint32_t d[4];
                        load(4, false, shared + 16 * lane + (lane == 3 ? 8 : 0), d);
                      },
                      512),
            cudaErrorLaunchFailure);
  EXPECT_NE(last_fault().find("not 16-byte aligned"), std::string::npos) << last_fault();
}

TEST(LdmatrixTest, LanesAtDifferentFormsFault) {
  ASSERT_EQ(run_block(dim3(32),
                      [&] {
                        unsigned char* shared = hostgpu::dynamic_shared<unsigned char>();
                        uint32_t d[4];
                        load(linear_thread() == 7 ? 2 : 4, false, shared + 16 * linear_thread(), d);
                      },
                      512),
            cudaErrorLaunchFailure);
  EXPECT_NE(last_fault().find("ldmatrix.x2"), std::string::npos) << last_fault();
}

}  // namespace
