#pragma once
// CUDA's integer intrinsics and the integer dot products for device code run
// by the executor, with the GPU's exact results (32-bit wrap-around included).
#include <cstdint>

#include <vector_types.h>

namespace hostgpu::detail {

inline int wrap_to_int(long long value) { return static_cast<int>(static_cast<uint32_t>(value)); }
inline int8_t signed_byte(uint32_t word, int index) { return static_cast<int8_t>(word >> (8 * index)); }
inline uint8_t unsigned_byte(uint32_t word, int index) { return static_cast<uint8_t>(word >> (8 * index)); }
inline int16_t signed_half(uint32_t word, int index) { return static_cast<int16_t>(word >> (16 * index)); }
inline uint16_t unsigned_half(uint32_t word, int index) { return static_cast<uint16_t>(word >> (16 * index)); }

inline uint32_t pack(char4 v) {
  return uint32_t(uint8_t(v.x)) | uint32_t(uint8_t(v.y)) << 8 | uint32_t(uint8_t(v.z)) << 16 |
         uint32_t(uint8_t(v.w)) << 24;
}
inline uint32_t pack(uchar4 v) { return uint32_t(v.x) | uint32_t(v.y) << 8 | uint32_t(v.z) << 16 | uint32_t(v.w) << 24; }
inline uint32_t pack(short2 v) { return uint32_t(uint16_t(v.x)) | uint32_t(uint16_t(v.y)) << 16; }
inline uint32_t pack(ushort2 v) { return uint32_t(v.x) | uint32_t(v.y) << 16; }

inline int dot2_signed(uint32_t halves, uint32_t bytes, int first_byte, int c) {
  long long sum = c;
  for (int i = 0; i < 2; ++i) sum += int(signed_half(halves, i)) * int(signed_byte(bytes, first_byte + i));
  return wrap_to_int(sum);
}
inline unsigned dot2_unsigned(uint32_t halves, uint32_t bytes, int first_byte, unsigned c) {
  uint32_t sum = c;
  for (int i = 0; i < 2; ++i) sum += uint32_t(unsigned_half(halves, i)) * uint32_t(unsigned_byte(bytes, first_byte + i));
  return sum;
}

}  // namespace hostgpu::detail

// Four-way byte dot product with 32-bit accumulate.
inline int __dp4a(int a, int b, int c) {
  long long sum = c;
  for (int i = 0; i < 4; ++i) {
    sum += int(::hostgpu::detail::signed_byte(uint32_t(a), i)) * int(::hostgpu::detail::signed_byte(uint32_t(b), i));
  }
  return ::hostgpu::detail::wrap_to_int(sum);
}
inline unsigned __dp4a(unsigned a, unsigned b, unsigned c) {
  uint32_t sum = c;
  for (int i = 0; i < 4; ++i) {
    sum += uint32_t(::hostgpu::detail::unsigned_byte(a, i)) * uint32_t(::hostgpu::detail::unsigned_byte(b, i));
  }
  return sum;
}
inline int __dp4a(char4 a, char4 b, int c) {
  return __dp4a(int(::hostgpu::detail::pack(a)), int(::hostgpu::detail::pack(b)), c);
}
inline unsigned __dp4a(uchar4 a, uchar4 b, unsigned c) {
  return __dp4a(::hostgpu::detail::pack(a), ::hostgpu::detail::pack(b), c);
}

// Two 16-bit halves of a times two bytes of b: the low bytes (lo) or the high bytes (hi).
inline int __dp2a_lo(int a, int b, int c) { return ::hostgpu::detail::dot2_signed(uint32_t(a), uint32_t(b), 0, c); }
inline int __dp2a_hi(int a, int b, int c) { return ::hostgpu::detail::dot2_signed(uint32_t(a), uint32_t(b), 2, c); }
inline unsigned __dp2a_lo(unsigned a, unsigned b, unsigned c) { return ::hostgpu::detail::dot2_unsigned(a, b, 0, c); }
inline unsigned __dp2a_hi(unsigned a, unsigned b, unsigned c) { return ::hostgpu::detail::dot2_unsigned(a, b, 2, c); }
inline int __dp2a_lo(short2 a, char4 b, int c) {
  return ::hostgpu::detail::dot2_signed(::hostgpu::detail::pack(a), ::hostgpu::detail::pack(b), 0, c);
}
inline int __dp2a_hi(short2 a, char4 b, int c) {
  return ::hostgpu::detail::dot2_signed(::hostgpu::detail::pack(a), ::hostgpu::detail::pack(b), 2, c);
}
inline unsigned __dp2a_lo(ushort2 a, uchar4 b, unsigned c) {
  return ::hostgpu::detail::dot2_unsigned(::hostgpu::detail::pack(a), ::hostgpu::detail::pack(b), 0, c);
}
inline unsigned __dp2a_hi(ushort2 a, uchar4 b, unsigned c) {
  return ::hostgpu::detail::dot2_unsigned(::hostgpu::detail::pack(a), ::hostgpu::detail::pack(b), 2, c);
}

inline int __popc(unsigned x) { return __builtin_popcount(x); }
inline int __popcll(unsigned long long x) { return __builtin_popcountll(x); }
inline int __clz(int x) { return x == 0 ? 32 : __builtin_clz(unsigned(x)); }
inline int __clzll(long long x) { return x == 0 ? 64 : __builtin_clzll((unsigned long long)x); }
inline int __ffs(int x) { return __builtin_ffs(x); }
inline int __ffsll(long long x) { return __builtin_ffsll(x); }

inline unsigned __brev(unsigned x) {
  x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
  x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
  x = ((x >> 4) & 0x0f0f0f0fu) | ((x & 0x0f0f0f0fu) << 4);
  return __builtin_bswap32(x);
}
inline unsigned long long __brevll(unsigned long long x) {
  return (static_cast<unsigned long long>(__brev(unsigned(x))) << 32) | __brev(unsigned(x >> 32));
}

inline unsigned __umulhi(unsigned a, unsigned b) { return unsigned((uint64_t(a) * b) >> 32); }
inline int __mulhi(int a, int b) { return int((int64_t(a) * b) >> 32); }
inline unsigned long long __umul64hi(unsigned long long a, unsigned long long b) {
  return static_cast<unsigned long long>((static_cast<unsigned __int128>(a) * b) >> 64);
}
inline long long __mul64hi(long long a, long long b) {
  return static_cast<long long>((static_cast<__int128>(a) * b) >> 64);
}

// hi:lo as one 64-bit value shifted by (shift & 31) or, for the clamped
// forms, min(shift, 32): the upper word after a left shift, the lower after a right.
inline unsigned __funnelshift_l(unsigned lo, unsigned hi, unsigned shift) {
  const uint64_t joined = (uint64_t(hi) << 32) | lo;
  return unsigned((joined << (shift & 31u)) >> 32);
}
inline unsigned __funnelshift_lc(unsigned lo, unsigned hi, unsigned shift) {
  const uint64_t joined = (uint64_t(hi) << 32) | lo;
  return unsigned((joined << (shift < 32u ? shift : 32u)) >> 32);
}
inline unsigned __funnelshift_r(unsigned lo, unsigned hi, unsigned shift) {
  const uint64_t joined = (uint64_t(hi) << 32) | lo;
  return unsigned(joined >> (shift & 31u));
}
inline unsigned __funnelshift_rc(unsigned lo, unsigned hi, unsigned shift) {
  const uint64_t joined = (uint64_t(hi) << 32) | lo;
  return unsigned(joined >> (shift < 32u ? shift : 32u));
}

// Byte n of the result is byte (selector nibble n & 7) of the eight bytes y:x.
inline unsigned __byte_perm(unsigned x, unsigned y, unsigned selector) {
  const uint64_t bytes = (uint64_t(y) << 32) | x;
  unsigned result = 0;
  for (int n = 0; n < 4; ++n) {
    const unsigned pick = (selector >> (4 * n)) & 7u;
    result |= unsigned((bytes >> (8 * pick)) & 0xffu) << (8 * n);
  }
  return result;
}

// Read-only loads through the texture path are plain loads here.
template <typename T>
T __ldg(const T* address) {
  return *address;
}

// Bit reinterpretation between 32-bit integers and floats.
inline float __uint_as_float(unsigned int bits) {
  float value;
  __builtin_memcpy(&value, &bits, sizeof(value));
  return value;
}
inline unsigned int __float_as_uint(float value) {
  unsigned int bits;
  __builtin_memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// A single-precision add rounded to nearest even, never fused with a multiply
// (the host's default rounding; the volatile keeps the sum in float).
inline float __fadd_rn(float x, float y) {
  volatile float sum = x + y;
  return sum;
}
