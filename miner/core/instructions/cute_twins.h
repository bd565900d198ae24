#pragma once
// CuTe's tensor-core MMA and copy atoms under the names the kernels use, in
// namespace korvath_cute, so one kernel template serves both flavours:
//   cuda flavour: the names are CuTe's own atoms;
//   host flavour: twins with the same registers and IDENTICAL traits (their
//   cute::MMA_Traits / cute::Copy_Traits are CuTe's, inherited or copied)
//   whose instruction bodies call the instruction layer, which the host
//   device executes exactly. (CuTe's own atoms compile on the host too, but
//   their bodies only print a message there: never name cute:: atoms.)
// The cp.async groups are closed and awaited with korvath_cute::cp_async_fence
// and korvath_cute::cp_async_wait<N>, never cute::'s (which do nothing on the host).
//
// Kernels include this header (and link korvath_cutlass) instead of naming
// cute:: atoms: korvath_cute::SM80_16x8x32_S32S8S8S32_TN, SM75_U32x4_LDSM_N,
// SM80_CP_ASYNC_CACHEGLOBAL<cute::uint128_t>, ...
#include <cute/tensor.hpp>
#include <cute/atom/copy_atom.hpp>
#include <cute/atom/mma_atom.hpp>

#include "core/device_instructions.h"

namespace korvath_cute {

#if defined(KORVATH_FLAVOUR_CUDA)

using cute::SM75_8x8x16_S32S8S8S32_TN;
using cute::SM80_16x8x32_S32S8S8S32_TN;

using cute::SM75_U16x2_LDSM_T;
using cute::SM75_U16x4_LDSM_T;
using cute::SM75_U16x8_LDSM_T;
using cute::SM75_U32x1_LDSM_N;
using cute::SM75_U32x2_LDSM_N;
using cute::SM75_U32x4_LDSM_N;

template <class S, class D = S>
using SM80_CP_ASYNC_CACHEALWAYS = cute::SM80_CP_ASYNC_CACHEALWAYS<S, D>;
template <class S, class D = S>
using SM80_CP_ASYNC_CACHEGLOBAL = cute::SM80_CP_ASYNC_CACHEGLOBAL<S, D>;
template <class S, class D = S>
using SM80_CP_ASYNC_CACHEALWAYS_ZFILL = cute::SM80_CP_ASYNC_CACHEALWAYS_ZFILL<S, D>;
template <class S, class D = S>
using SM80_CP_ASYNC_CACHEGLOBAL_ZFILL = cute::SM80_CP_ASYNC_CACHEGLOBAL_ZFILL<S, D>;

#elif defined(KORVATH_FLAVOUR_HOST)

struct SM75_8x8x16_S32S8S8S32_TN {
  using DRegisters = uint32_t[2];
  using ARegisters = uint32_t[1];
  using BRegisters = uint32_t[1];
  using CRegisters = uint32_t[2];

  static void fma(uint32_t& d0, uint32_t& d1, uint32_t const& a0, uint32_t const& b0, uint32_t const& c0,
                  uint32_t const& c1) {
    device_instructions::mma_m8n8k16_s8(d0, d1, a0, b0, c0, c1);
  }
};

struct SM80_16x8x32_S32S8S8S32_TN {
  using DRegisters = uint32_t[4];
  using ARegisters = uint32_t[4];
  using BRegisters = uint32_t[2];
  using CRegisters = uint32_t[4];

  static void fma(uint32_t& d0, uint32_t& d1, uint32_t& d2, uint32_t& d3, uint32_t const& a0, uint32_t const& a1,
                  uint32_t const& a2, uint32_t const& a3, uint32_t const& b0, uint32_t const& b1, uint32_t const& c0,
                  uint32_t const& c1, uint32_t const& c2, uint32_t const& c3) {
    device_instructions::mma_m16n8k32_s8(d0, d1, d2, d3, a0, a1, a2, a3, b0, b1, c0, c1, c2, c3);
  }
};

// Each thread passes the 128-bit row it addresses, as with CuTe's atoms.
struct SM75_U32x1_LDSM_N {
  using SRegisters = cute::uint128_t[1];
  using DRegisters = uint32_t[1];
  static void copy(cute::uint128_t const& row, uint32_t& d0) { device_instructions::ldmatrix_x1(d0, &row); }
};

struct SM75_U32x2_LDSM_N {
  using SRegisters = cute::uint128_t[1];
  using DRegisters = uint32_t[2];
  static void copy(cute::uint128_t const& row, uint32_t& d0, uint32_t& d1) {
    device_instructions::ldmatrix_x2(d0, d1, &row);
  }
};

struct SM75_U32x4_LDSM_N {
  using SRegisters = cute::uint128_t[1];
  using DRegisters = uint32_t[4];
  static void copy(cute::uint128_t const& row, uint32_t& d0, uint32_t& d1, uint32_t& d2, uint32_t& d3) {
    device_instructions::ldmatrix_x4(d0, d1, d2, d3, &row);
  }
};

struct SM75_U16x2_LDSM_T {
  using SRegisters = cute::uint128_t[1];
  using DRegisters = uint32_t[1];
  static void copy(cute::uint128_t const& row, uint32_t& d0) { device_instructions::ldmatrix_x1_trans(d0, &row); }
};

struct SM75_U16x4_LDSM_T {
  using SRegisters = cute::uint128_t[1];
  using DRegisters = uint32_t[2];
  static void copy(cute::uint128_t const& row, uint32_t& d0, uint32_t& d1) {
    device_instructions::ldmatrix_x2_trans(d0, d1, &row);
  }
};

struct SM75_U16x8_LDSM_T {
  using SRegisters = cute::uint128_t[1];
  using DRegisters = uint32_t[4];
  static void copy(cute::uint128_t const& row, uint32_t& d0, uint32_t& d1, uint32_t& d2, uint32_t& d3) {
    device_instructions::ldmatrix_x4_trans(d0, d1, d2, d3, &row);
  }
};

template <class S, class D = S>
struct SM80_CP_ASYNC_CACHEALWAYS {
  using SRegisters = S[1];
  using DRegisters = D[1];
  static_assert(sizeof(S) == sizeof(D), "cp.async requires sizeof(src_value_type) == sizeof(dst_value_type)");
  static_assert(sizeof(S) == 4 || sizeof(S) == 8 || sizeof(S) == 16, "cp.async sizeof(TS) is not supported");
  static void copy(S const& global_source, D& shared_destination) {
    device_instructions::cp_async_ca<sizeof(S)>(&shared_destination, &global_source);
  }
};

template <class S, class D = S>
struct SM80_CP_ASYNC_CACHEGLOBAL {
  using SRegisters = S[1];
  using DRegisters = D[1];
  static_assert(sizeof(S) == sizeof(D), "cp.async requires sizeof(src_value_type) == sizeof(dst_value_type)");
  static_assert(sizeof(S) == 16, "cp.async sizeof(TS) is not supported");
  static void copy(S const& global_source, D& shared_destination) {
    device_instructions::cp_async_cg(&shared_destination, &global_source);
  }
};

template <class S, class D = S>
struct SM80_CP_ASYNC_CACHEALWAYS_ZFILL {
  using SRegisters = S[1];
  using DRegisters = D[1];
  static_assert(sizeof(S) == sizeof(D), "cp.async requires sizeof(src_value_type) == sizeof(dst_value_type)");
  static_assert(sizeof(S) == 4 || sizeof(S) == 8 || sizeof(S) == 16, "cp.async sizeof(TS) is not supported");
  static void copy(S const& global_source, D& shared_destination, bool pred) {
    device_instructions::cp_async_ca_zfill<sizeof(S)>(&shared_destination, &global_source, pred ? sizeof(S) : 0);
  }
};

template <class S, class D = S>
struct SM80_CP_ASYNC_CACHEGLOBAL_ZFILL {
  using SRegisters = S[1];
  using DRegisters = D[1];
  static_assert(sizeof(S) == sizeof(D), "cp.async requires sizeof(src_value_type) == sizeof(dst_value_type)");
  static_assert(sizeof(S) == 16, "cp.async sizeof(TS) is not supported");
  static void copy(S const& global_source, D& shared_destination, bool pred) {
    device_instructions::cp_async_cg_zfill(&shared_destination, &global_source, pred ? 16 : 0);
  }
};

#endif

// Closes this thread's copies issued since the last fence into one group.
KORVATH_DEVICE_INSTRUCTION void cp_async_fence() { device_instructions::cp_async_commit_group(); }

// Waits until at most N of this thread's newest groups are pending.
template <int N>
KORVATH_DEVICE_INSTRUCTION void cp_async_wait() {
  if constexpr (N == 0) {
    device_instructions::cp_async_wait_all();
  } else {
    device_instructions::cp_async_wait_group<N>();
  }
}

// Plain vectorised copies need no twin: CuTe's run as they are on the host.
template <int MaxVecBits = 128>
using AutoVectorizingCopyWithAssumedAlignment = cute::AutoVectorizingCopyWithAssumedAlignment<MaxVecBits>;

}  // namespace korvath_cute

#if defined(KORVATH_FLAVOUR_HOST)
namespace cute {

template <>
struct MMA_Traits<korvath_cute::SM75_8x8x16_S32S8S8S32_TN> : MMA_Traits<SM75_8x8x16_S32S8S8S32_TN> {};
template <>
struct MMA_Traits<korvath_cute::SM80_16x8x32_S32S8S8S32_TN> : MMA_Traits<SM80_16x8x32_S32S8S8S32_TN> {};

template <>
struct Copy_Traits<korvath_cute::SM75_U32x1_LDSM_N> : Copy_Traits<SM75_U32x1_LDSM_N> {};
template <>
struct Copy_Traits<korvath_cute::SM75_U32x2_LDSM_N> : Copy_Traits<SM75_U32x2_LDSM_N> {};
template <>
struct Copy_Traits<korvath_cute::SM75_U32x4_LDSM_N> : Copy_Traits<SM75_U32x4_LDSM_N> {};
template <>
struct Copy_Traits<korvath_cute::SM75_U16x2_LDSM_T> : Copy_Traits<SM75_U16x2_LDSM_T> {};
template <>
struct Copy_Traits<korvath_cute::SM75_U16x4_LDSM_T> : Copy_Traits<SM75_U16x4_LDSM_T> {};
template <>
struct Copy_Traits<korvath_cute::SM75_U16x8_LDSM_T> : Copy_Traits<SM75_U16x8_LDSM_T> {};

template <class S, class D>
struct Copy_Traits<korvath_cute::SM80_CP_ASYNC_CACHEALWAYS<S, D>> : Copy_Traits<SM80_CP_ASYNC_CACHEALWAYS<S, D>> {};
template <class S, class D>
struct Copy_Traits<korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL<S, D>> : Copy_Traits<SM80_CP_ASYNC_CACHEGLOBAL<S, D>> {};

// The zero-fill forms carry their predicate, as CuTe's do; the layouts are copied
// (not inherited) so that CuTe's own copy_unpack for its atom is not a candidate.
template <class S, class D>
struct Copy_Traits<korvath_cute::SM80_CP_ASYNC_CACHEALWAYS_ZFILL<S, D>> {
  using Reference = Copy_Traits<SM80_CP_ASYNC_CACHEALWAYS_ZFILL<S, D>>;
  using ThrID = typename Reference::ThrID;
  using SrcLayout = typename Reference::SrcLayout;
  using DstLayout = typename Reference::DstLayout;
  using RefLayout = typename Reference::RefLayout;

  bool pred = true;

  constexpr Copy_Traits with(bool predicate) const { return {predicate}; }

  template <class TS, class SLayout, class TD, class DLayout>
  friend constexpr void copy_unpack(Copy_Traits const& traits, Tensor<TS, SLayout> const& src,
                                    Tensor<TD, DLayout>& dst) {
    static_assert(is_gmem<TS>::value, "Expected gmem source for cp.async.");
    static_assert(is_smem<TD>::value, "Expected smem destination for cp.async.");
    Tensor rS = recast<S>(src);
    Tensor rD = recast<D>(dst);
    CUTE_STATIC_ASSERT_V(size(rS) == Int<1>{}, "cp.async: the source does not vectorise into one register");
    CUTE_STATIC_ASSERT_V(size(rD) == Int<1>{}, "cp.async: the destination does not vectorise into one register");
    korvath_cute::SM80_CP_ASYNC_CACHEALWAYS_ZFILL<S, D>::copy(rS[0], rD[0], traits.pred);
  }
};

template <class S, class D>
struct Copy_Traits<korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL_ZFILL<S, D>> {
  using Reference = Copy_Traits<SM80_CP_ASYNC_CACHEGLOBAL_ZFILL<S, D>>;
  using ThrID = typename Reference::ThrID;
  using SrcLayout = typename Reference::SrcLayout;
  using DstLayout = typename Reference::DstLayout;
  using RefLayout = typename Reference::RefLayout;

  bool pred = true;

  constexpr Copy_Traits with(bool predicate) const { return {predicate}; }

  template <class TS, class SLayout, class TD, class DLayout>
  friend constexpr void copy_unpack(Copy_Traits const& traits, Tensor<TS, SLayout> const& src,
                                    Tensor<TD, DLayout>& dst) {
    static_assert(is_gmem<TS>::value, "Expected gmem source for cp.async.");
    static_assert(is_smem<TD>::value, "Expected smem destination for cp.async.");
    Tensor rS = recast<S>(src);
    Tensor rD = recast<D>(dst);
    CUTE_STATIC_ASSERT_V(size(rS) == Int<1>{}, "cp.async: the source does not vectorise into one register");
    CUTE_STATIC_ASSERT_V(size(rD) == Int<1>{}, "cp.async: the destination does not vectorise into one register");
    korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL_ZFILL<S, D>::copy(rS[0], rD[0], traits.pred);
  }
};

}  // namespace cute
#endif
