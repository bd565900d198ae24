// Integer dot products and bit intrinsics give the GPU's exact results.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>

#include "core/gpu_platform.h"

namespace {

// Reference: bytes and halves taken apart by hand, summed in 64 bits, wrapped to 32.
int8_t byte_of(uint32_t w, int i) { return static_cast<int8_t>((w >> (8 * i)) & 0xff); }
uint8_t ubyte_of(uint32_t w, int i) { return static_cast<uint8_t>((w >> (8 * i)) & 0xff); }
int16_t half_of(uint32_t w, int i) { return static_cast<int16_t>((w >> (16 * i)) & 0xffff); }
uint16_t uhalf_of(uint32_t w, int i) { return static_cast<uint16_t>((w >> (16 * i)) & 0xffff); }

int32_t wrap(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }

int32_t reference_dp4a(uint32_t a, uint32_t b, int32_t c) {
  int64_t sum = c;
  for (int i = 0; i < 4; ++i) sum += static_cast<int64_t>(byte_of(a, i)) * byte_of(b, i);
  return wrap(sum);
}
uint32_t reference_dp4a_unsigned(uint32_t a, uint32_t b, uint32_t c) {
  uint64_t sum = c;
  for (int i = 0; i < 4; ++i) sum += static_cast<uint64_t>(ubyte_of(a, i)) * ubyte_of(b, i);
  return static_cast<uint32_t>(sum);
}
int32_t reference_dp2a(uint32_t a, uint32_t b, int32_t c, int first_byte) {
  int64_t sum = c;
  for (int i = 0; i < 2; ++i) sum += static_cast<int64_t>(half_of(a, i)) * byte_of(b, first_byte + i);
  return wrap(sum);
}
uint32_t reference_dp2a_unsigned(uint32_t a, uint32_t b, uint32_t c, int first_byte) {
  uint64_t sum = c;
  for (int i = 0; i < 2; ++i) sum += static_cast<uint64_t>(uhalf_of(a, i)) * ubyte_of(b, first_byte + i);
  return static_cast<uint32_t>(sum);
}

TEST(IntrinsicsTest, Dp4aAtTheExtremes) {
  EXPECT_EQ(__dp4a(int(0x80808080), int(0x80808080), 0), 4 * 128 * 128);          // (-128)·(-128) four times
  EXPECT_EQ(__dp4a(0x7f7f7f7f, int(0x80808080), 0), -4 * 127 * 128);
  EXPECT_EQ(__dp4a(0x01010101, 0x01010101, INT_MAX), INT_MIN + 3);        // wraps like the GPU
  EXPECT_EQ(__dp4a(0xffffffffu, 0xffffffffu, 0u), 4u * 255u * 255u);
  EXPECT_EQ(__dp4a(0xffffffffu, 0xffffffffu, 0xffffffffu), 4u * 255u * 255u - 1u);
  EXPECT_EQ(__dp4a(make_char4(1, -2, 3, -4), make_char4(-5, 6, -7, 8), 10), 10 - 5 - 12 - 21 - 32);
  EXPECT_EQ(__dp4a(make_uchar4(1, 2, 250, 4), make_uchar4(5, 6, 7, 255), 10u), 10u + 5 + 12 + 1750 + 1020);
  EXPECT_EQ(__dp2a_lo(int(0x8000ffff), 0x00007f80, 0), -1 * -128 + -32768 * 127);
  EXPECT_EQ(__dp2a_hi(int(0x8000ffff), 0x7f800000, 0), -1 * -128 + -32768 * 127);
  EXPECT_EQ(__dp2a_lo(make_short2(-3, 4), make_char4(5, -6, 100, 100), 1), 1 - 15 - 24);
  EXPECT_EQ(__dp2a_hi(make_ushort2(65535, 2), make_uchar4(9, 9, 255, 3), 0u), 65535u * 255u + 6u);
}

TEST(IntrinsicsTest, DotProductsMatchTheByteWiseReferenceOnRandomWords) {
  std::mt19937 random(20240611);
  for (int i = 0; i < 20000; ++i) {
    const uint32_t a = random(), b = random(), c = random();
    ASSERT_EQ(__dp4a(static_cast<int>(a), static_cast<int>(b), static_cast<int>(c)),
              reference_dp4a(a, b, static_cast<int32_t>(c)));
    ASSERT_EQ(__dp4a(a, b, c), reference_dp4a_unsigned(a, b, c));
    ASSERT_EQ(__dp2a_lo(static_cast<int>(a), static_cast<int>(b), static_cast<int>(c)),
              reference_dp2a(a, b, static_cast<int32_t>(c), 0));
    ASSERT_EQ(__dp2a_hi(static_cast<int>(a), static_cast<int>(b), static_cast<int>(c)),
              reference_dp2a(a, b, static_cast<int32_t>(c), 2));
    ASSERT_EQ(__dp2a_lo(a, b, c), reference_dp2a_unsigned(a, b, c, 0));
    ASSERT_EQ(__dp2a_hi(a, b, c), reference_dp2a_unsigned(a, b, c, 2));
  }
}

TEST(IntrinsicsTest, BitIntrinsicsOnKnownValues) {
  EXPECT_EQ(__funnelshift_l(0x89abcdefu, 0x01234567u, 8), 0x23456789u);
  EXPECT_EQ(__funnelshift_l(0x89abcdefu, 0x01234567u, 40), 0x23456789u);   // shift taken modulo 32
  EXPECT_EQ(__funnelshift_lc(0x89abcdefu, 0x01234567u, 40), 0x89abcdefu);  // clamped to 32
  EXPECT_EQ(__funnelshift_r(0x89abcdefu, 0x01234567u, 8), 0x6789abcdu);
  EXPECT_EQ(__funnelshift_r(0x89abcdefu, 0x01234567u, 32), 0x89abcdefu);
  EXPECT_EQ(__funnelshift_rc(0x89abcdefu, 0x01234567u, 33), 0x01234567u);
  EXPECT_EQ(__funnelshift_l(0x80000000u, 0x00000001u, 1), 0x00000003u);    // rotate when both halves are one word
  EXPECT_EQ(__byte_perm(0x33221100u, 0x77665544u, 0x7531u), 0x77553311u);
  EXPECT_EQ(__byte_perm(0x33221100u, 0x77665544u, 0x0123u), 0x00112233u);
  EXPECT_EQ(__byte_perm(0x33221100u, 0x77665544u, 0xcccc), 0x44444444u);  // the selector's top bit is ignored
  EXPECT_EQ(__popc(0xf0f0f0f1u), 17);
  EXPECT_EQ(__popcll(0xffffffffffffffffull), 64);
  EXPECT_EQ(__clz(0), 32);
  EXPECT_EQ(__clz(1), 31);
  EXPECT_EQ(__clz(-1), 0);
  EXPECT_EQ(__clzll(1ll << 40), 23);
  EXPECT_EQ(__ffs(0), 0);
  EXPECT_EQ(__ffs(0x80), 8);
  EXPECT_EQ(__ffsll(1ll << 40), 41);
  EXPECT_EQ(__brev(0x00000001u), 0x80000000u);
  EXPECT_EQ(__brev(0x12345678u), 0x1e6a2c48u);
  EXPECT_EQ(__brevll(0x1ull), 0x8000000000000000ull);
  EXPECT_EQ(__umulhi(0xffffffffu, 0xffffffffu), 0xfffffffeu);
  EXPECT_EQ(__mulhi(-2, 0x40000000), -1);
  EXPECT_EQ(__umul64hi(0xffffffffffffffffull, 0xffffffffffffffffull), 0xfffffffffffffffeull);
  EXPECT_EQ(__mul64hi(-1ll, 5ll), -1ll);
}

}  // namespace
