// The host twins of CuTe's atoms: the same traits as CuTe's own, and the
// zero-fill copies' predicate carried through Copy_Atom::with.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "block_runner.h"
#include "core/instructions/cute_twins.h"
#include "hostgpu/device_shared.h"

namespace {

using namespace cute;

template <class Twin, class Original>
constexpr bool same_mma_traits() {
  using T = MMA_Traits<Twin>;
  using O = MMA_Traits<Original>;
  return std::is_same_v<typename T::ValTypeD, typename O::ValTypeD> &&
         std::is_same_v<typename T::ValTypeA, typename O::ValTypeA> &&
         std::is_same_v<typename T::ValTypeB, typename O::ValTypeB> &&
         std::is_same_v<typename T::ValTypeC, typename O::ValTypeC> &&
         std::is_same_v<typename T::Shape_MNK, typename O::Shape_MNK> &&
         std::is_same_v<typename T::ThrID, typename O::ThrID> &&
         std::is_same_v<typename T::ALayout, typename O::ALayout> &&
         std::is_same_v<typename T::BLayout, typename O::BLayout> &&
         std::is_same_v<typename T::CLayout, typename O::CLayout> &&
         std::is_same_v<typename Twin::ARegisters, typename Original::ARegisters> &&
         std::is_same_v<typename Twin::BRegisters, typename Original::BRegisters> &&
         std::is_same_v<typename Twin::CRegisters, typename Original::CRegisters> &&
         std::is_same_v<typename Twin::DRegisters, typename Original::DRegisters>;
}

template <class Twin, class Original>
constexpr bool same_copy_traits() {
  using T = Copy_Traits<Twin>;
  using O = Copy_Traits<Original>;
  return std::is_same_v<typename T::ThrID, typename O::ThrID> &&
         std::is_same_v<typename T::SrcLayout, typename O::SrcLayout> &&
         std::is_same_v<typename T::DstLayout, typename O::DstLayout> &&
         std::is_same_v<typename T::RefLayout, typename O::RefLayout> &&
         std::is_same_v<typename Twin::SRegisters, typename Original::SRegisters> &&
         std::is_same_v<typename Twin::DRegisters, typename Original::DRegisters>;
}

static_assert(!std::is_same_v<korvath_cute::SM80_16x8x32_S32S8S8S32_TN, SM80_16x8x32_S32S8S8S32_TN>,
              "the host flavour uses twins, not CuTe's atoms");
static_assert(same_mma_traits<korvath_cute::SM75_8x8x16_S32S8S8S32_TN, SM75_8x8x16_S32S8S8S32_TN>());
static_assert(same_mma_traits<korvath_cute::SM80_16x8x32_S32S8S8S32_TN, SM80_16x8x32_S32S8S8S32_TN>());
static_assert(same_copy_traits<korvath_cute::SM75_U32x1_LDSM_N, SM75_U32x1_LDSM_N>());
static_assert(same_copy_traits<korvath_cute::SM75_U32x2_LDSM_N, SM75_U32x2_LDSM_N>());
static_assert(same_copy_traits<korvath_cute::SM75_U32x4_LDSM_N, SM75_U32x4_LDSM_N>());
static_assert(same_copy_traits<korvath_cute::SM75_U16x2_LDSM_T, SM75_U16x2_LDSM_T>());
static_assert(same_copy_traits<korvath_cute::SM75_U16x4_LDSM_T, SM75_U16x4_LDSM_T>());
static_assert(same_copy_traits<korvath_cute::SM75_U16x8_LDSM_T, SM75_U16x8_LDSM_T>());
static_assert(same_copy_traits<korvath_cute::SM80_CP_ASYNC_CACHEALWAYS<uint32_t>, SM80_CP_ASYNC_CACHEALWAYS<uint32_t>>());
static_assert(same_copy_traits<korvath_cute::SM80_CP_ASYNC_CACHEALWAYS<uint64_t>, SM80_CP_ASYNC_CACHEALWAYS<uint64_t>>());
static_assert(same_copy_traits<korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL<uint128_t>,
                               SM80_CP_ASYNC_CACHEGLOBAL<uint128_t>>());
static_assert(same_copy_traits<korvath_cute::SM80_CP_ASYNC_CACHEALWAYS_ZFILL<uint128_t>,
                               SM80_CP_ASYNC_CACHEALWAYS_ZFILL<uint128_t>>());
static_assert(same_copy_traits<korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL_ZFILL<uint128_t>,
                               SM80_CP_ASYNC_CACHEGLOBAL_ZFILL<uint128_t>>());

TEST(CuteTwinsTest, ZeroFillCopiesFollowTheirPredicate) {
  alignas(16) static const int8_t source[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  int8_t landed[2][2][16];
  ASSERT_EQ(run_block(dim3(1),
                      [&] {
                        int8_t* shared = hostgpu::dynamic_shared<int8_t>();
                        Tensor g = make_tensor(make_gmem_ptr(source), Shape<_16>{});
                        Tensor s = make_tensor(make_smem_ptr(shared), Shape<_16>{});
                        Copy_Atom<korvath_cute::SM80_CP_ASYNC_CACHEGLOBAL_ZFILL<uint128_t>, int8_t> global_atom;
                        Copy_Atom<korvath_cute::SM80_CP_ASYNC_CACHEALWAYS_ZFILL<uint128_t>, int8_t> always_atom;
                        for (int predicate = 0; predicate < 2; ++predicate) {
                          for (int form = 0; form < 2; ++form) {
                            std::memset(shared, 0x55, 16);
                            if (form == 0) {
                              copy(global_atom.with(predicate != 0), g, s);
                            } else {
                              copy(always_atom.with(predicate != 0), g, s);
                            }
                            korvath_cute::cp_async_wait<0>();
                            std::memcpy(landed[predicate][form], shared, 16);
                          }
                        }
                      },
                      16),
            cudaSuccess)
      << last_fault();
  for (int form = 0; form < 2; ++form) {
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(landed[0][form][i], 0) << "form " << form << " byte " << i;
      EXPECT_EQ(landed[1][form][i], source[i]) << "form " << form << " byte " << i;
    }
  }
}

}  // namespace
