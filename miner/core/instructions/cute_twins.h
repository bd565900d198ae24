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
#include <cstring>

#include <cute/tensor.hpp>
#include <cute/atom/copy_atom.hpp>
#include <cute/atom/copy_traits_sm100_tma.hpp>
#include <cute/atom/mma_atom.hpp>
#include <cute/atom/mma_traits_sm100.hpp>

#include "core/device_instructions.h"

namespace korvath_cute {

#if defined(KORVATH_FLAVOUR_CUDA)

using cute::SM75_8x8x16_S32S8S8S32_TN;
using cute::SM80_16x8x32_S32S8S8S32_TN;

template <class A, class B, class C, int M, int N, cute::UMMA::Major kMajorA, cute::UMMA::Major kMajorB,
          cute::UMMA::Saturate kSaturate = cute::UMMA::Saturate::False>
using SM100_MMA_S8_2x1SM_SS = cute::SM100_MMA_S8_2x1SM_SS<A, B, C, M, N, kMajorA, kMajorB, kSaturate>;
template <class A, class B, class C, int M, int N, cute::UMMA::Major kMajorA, cute::UMMA::Major kMajorB,
          cute::UMMA::ScaleIn kNegateA = cute::UMMA::ScaleIn::One,
          cute::UMMA::ScaleIn kNegateB = cute::UMMA::ScaleIn::One>
using SM100_MMA_F16BF16_2x1SM_SS =
    cute::SM100_MMA_F16BF16_2x1SM_SS<A, B, C, M, N, kMajorA, kMajorB, kNegateA, kNegateB>;

using cute::SM100_TMA_2SM_LOAD_MULTICAST;

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


// The two-CTA tensor-core MMAs: like CuTe's, the elected lane of the calling
// warp issues the instruction for the pair (descriptors, D's tensor-memory
// address, the instruction descriptor in the high word of idescE).
template <class A, class B, class C, int M, int N, cute::UMMA::Major kMajorA, cute::UMMA::Major kMajorB,
          cute::UMMA::Saturate kSaturate = cute::UMMA::Saturate::False>
struct SM100_MMA_S8_2x1SM_SS {
  using DRegisters = void;
  using ARegisters = uint64_t[1];
  using BRegisters = uint64_t[1];
  using CRegisters = uint32_t[1];
  static void fma(uint64_t const& desc_a, uint64_t const& desc_b, uint32_t const& tmem_c, uint32_t const& scale_c,
                  uint64_t const& idesc) {
    if (device_instructions::elect_one_sync()) {
      device_instructions::umma_pair_s8(tmem_c, desc_a, desc_b, static_cast<uint32_t>(idesc >> 32), scale_c != 0);
    }
  }
};

template <class A, class B, class C, int M, int N, cute::UMMA::Major kMajorA, cute::UMMA::Major kMajorB,
          cute::UMMA::ScaleIn kNegateA = cute::UMMA::ScaleIn::One,
          cute::UMMA::ScaleIn kNegateB = cute::UMMA::ScaleIn::One>
struct SM100_MMA_F16BF16_2x1SM_SS {
  using DRegisters = void;
  using ARegisters = uint64_t[1];
  using BRegisters = uint64_t[1];
  using CRegisters = uint32_t[1];
  static void fma(uint64_t const& desc_a, uint64_t const& desc_b, uint32_t const& tmem_c, uint32_t const& scale_c,
                  uint64_t const& idesc) {
    if (device_instructions::elect_one_sync()) {
      device_instructions::umma_pair_bf16(tmem_c, desc_a, desc_b, static_cast<uint32_t>(idesc >> 32), scale_c != 0);
    }
  }
};

// The CTA-pair multicast bulk tensor copy, 2-D as the kernels use it. As
// CuTe's, the barrier named is the one at mbar's offset in the even CTA of the
// issuing pair. The descriptor is copied out first: CuTe's host-side
// descriptor type is a plain 128-byte block, not aligned as a tensor map.
struct SM100_TMA_2SM_LOAD_MULTICAST {
  static void copy(void const* desc_ptr, uint64_t* mbar_ptr, uint16_t multicast_mask, uint64_t /*cache_hint*/,
                   void* smem_ptr, int32_t const& crd0, int32_t const& crd1) {
    CUtensorMap map;
    std::memcpy(&map, desc_ptr, sizeof(map));
    device_instructions::tma_load_2d_pair_multicast(smem_ptr, &map, crd0, crd1, mbar_ptr, multicast_mask);
  }
};
#endif

// The same two-CTA MMA with another N (a kernel issuing a tile's columns in
// parts): umma_with_n<Op, N>.
template <class Op, int N>
struct UmmaWithN;
template <class A, class B, class C, int M, int N0, cute::UMMA::Major kMajorA, cute::UMMA::Major kMajorB,
          cute::UMMA::Saturate kSaturate, int N>
struct UmmaWithN<SM100_MMA_S8_2x1SM_SS<A, B, C, M, N0, kMajorA, kMajorB, kSaturate>, N> {
  using type = SM100_MMA_S8_2x1SM_SS<A, B, C, M, N, kMajorA, kMajorB, kSaturate>;
};
template <class A, class B, class C, int M, int N0, cute::UMMA::Major kMajorA, cute::UMMA::Major kMajorB,
          cute::UMMA::ScaleIn kNegateA, cute::UMMA::ScaleIn kNegateB, int N>
struct UmmaWithN<SM100_MMA_F16BF16_2x1SM_SS<A, B, C, M, N0, kMajorA, kMajorB, kNegateA, kNegateB>, N> {
  using type = SM100_MMA_F16BF16_2x1SM_SS<A, B, C, M, N, kMajorA, kMajorB, kNegateA, kNegateB>;
};
template <class Op, int N>
using umma_with_n = typename UmmaWithN<Op, N>::type;

// The instruction layer's kind of a two-CTA MMA atom (umma_kind<Op>), for a
// kernel that issues the atom's instruction itself from one thread.
template <class Op>
struct UmmaKindOf;
template <class A, class B, class C, int M, int N, cute::UMMA::Major kMajorA, cute::UMMA::Major kMajorB,
          cute::UMMA::Saturate kSaturate>
struct UmmaKindOf<SM100_MMA_S8_2x1SM_SS<A, B, C, M, N, kMajorA, kMajorB, kSaturate>> {
  static constexpr device_instructions::UmmaKind value = device_instructions::UmmaKind::i8;
};
template <class A, class B, class C, int M, int N, cute::UMMA::Major kMajorA, cute::UMMA::Major kMajorB,
          cute::UMMA::ScaleIn kNegateA, cute::UMMA::ScaleIn kNegateB>
struct UmmaKindOf<SM100_MMA_F16BF16_2x1SM_SS<A, B, C, M, N, kMajorA, kMajorB, kNegateA, kNegateB>> {
  static constexpr device_instructions::UmmaKind value = device_instructions::UmmaKind::f16;
};
template <class Op>
constexpr device_instructions::UmmaKind umma_kind = UmmaKindOf<Op>::value;

// The 64-bit instruction descriptor operand of a two-CTA MMA, from CuTe's
// traits of the atom (the twins' traits are CuTe's).
template <class Op>
CUTE_HOST_DEVICE uint64_t umma_instruction_operand() {
  return cute::UMMA::make_runtime_instr_desc<>(cute::MMA_Traits<Op>{}.idesc_);
}

// The TMA atom a kernel is given, as CuTe builds its type: the same type in
// the cuda flavour, the twin's in the host flavour (host_twin_atom<Atom>).
template <class Atom>
struct HostTwinAtom {
  using type = Atom;
};
#if defined(KORVATH_FLAVOUR_HOST)
template <class Bits, class Aux, class T>
struct HostTwinAtom<cute::Copy_Atom<cute::Copy_Traits<cute::SM100_TMA_2SM_LOAD_MULTICAST, Bits, Aux>, T>> {
  using type = cute::Copy_Atom<cute::Copy_Traits<SM100_TMA_2SM_LOAD_MULTICAST, Bits, Aux>, T>;
};
#endif
template <class Atom>
using host_twin_atom = typename HostTwinAtom<Atom>::type;

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

// The two-CTA MMAs' traits are CuTe's, copied; mma_unpack calls the twin.
template <class Twin, class Reference>
struct TwinUmmaTraits {
  using ValTypeD = typename Reference::ValTypeD;
  using ValTypeA = typename Reference::ValTypeA;
  using ValTypeB = typename Reference::ValTypeB;
  using ValTypeC = typename Reference::ValTypeC;
  using FrgTypeA = typename Reference::FrgTypeA;
  using FrgTypeB = typename Reference::FrgTypeB;
  using FrgTypeC = typename Reference::FrgTypeC;
  constexpr static int K = Reference::K;
  using Shape_MNK = typename Reference::Shape_MNK;
  using ThrID = typename Reference::ThrID;
  using ALayout = typename Reference::ALayout;
  using BLayout = typename Reference::BLayout;
  using CLayout = typename Reference::CLayout;

  UMMA::InstrDescriptor idesc_ = Reference{}.idesc_;
  UMMA::ScaleOut accumulate_ = UMMA::ScaleOut::One;

  template <class TD, class DLayout, class TA, class ALayout_, class TB, class BLayout_, class TC, class CLayout_>
  friend void mma_unpack(TwinUmmaTraits const& traits, Tensor<TD, DLayout>& D, Tensor<TA, ALayout_> const& A,
                         Tensor<TB, BLayout_> const& B, Tensor<TC, CLayout_> const& /*C*/) {
    Twin::fma(A[0], B[0], raw_pointer_cast(D.data()), uint32_t(traits.accumulate_),
              UMMA::make_runtime_instr_desc<>(traits.idesc_));
  }
};

template <class A, class B, class C, int M, int N, UMMA::Major kMajorA, UMMA::Major kMajorB, UMMA::Saturate kSaturate>
struct MMA_Traits<korvath_cute::SM100_MMA_S8_2x1SM_SS<A, B, C, M, N, kMajorA, kMajorB, kSaturate>>
    : TwinUmmaTraits<korvath_cute::SM100_MMA_S8_2x1SM_SS<A, B, C, M, N, kMajorA, kMajorB, kSaturate>,
                     MMA_Traits<SM100_MMA_S8_2x1SM_SS<A, B, C, M, N, kMajorA, kMajorB, kSaturate>>> {};

template <class A, class B, class C, int M, int N, UMMA::Major kMajorA, UMMA::Major kMajorB, UMMA::ScaleIn kNegateA,
          UMMA::ScaleIn kNegateB>
struct MMA_Traits<korvath_cute::SM100_MMA_F16BF16_2x1SM_SS<A, B, C, M, N, kMajorA, kMajorB, kNegateA, kNegateB>>
    : TwinUmmaTraits<korvath_cute::SM100_MMA_F16BF16_2x1SM_SS<A, B, C, M, N, kMajorA, kMajorB, kNegateA, kNegateB>,
                     MMA_Traits<SM100_MMA_F16BF16_2x1SM_SS<A, B, C, M, N, kMajorA, kMajorB, kNegateA, kNegateB>>> {};

// The pair multicast copy keeps CuTe's traits whole (its descriptor, layouts
// and auxiliary parameters); the kernels call the twin's copy themselves.
template <class Bits, class Aux>
struct Copy_Traits<korvath_cute::SM100_TMA_2SM_LOAD_MULTICAST, Bits, Aux>
    : Copy_Traits<SM100_TMA_2SM_LOAD_MULTICAST, Bits, Aux> {};

}  // namespace cute
#endif

