// The CMP 170HX dp2a backend: the explicit mining kernels with two-way
// integer dot products; kernels and slots are the shared explicit ones.
#include "backends/cmp170hx_dp2a_mining_kernel.h"

#include "backends/explicit_mining_kernels.h"

namespace vexal_cmp170hx_dp2a {

// A word of four int8 widened to two pairs of int16, so that dp2a multiplies
// them with two bytes of B at a time.
struct Dp2aArithmetic {
  struct Operand {
    int low_pair;   // bytes 0 and 1 as int16
    int high_pair;  // bytes 2 and 3 as int16
  };

  __device__ static Operand prepare(uint32_t word) {
    const auto widen = [](uint32_t byte_pair) {
      const uint32_t low = static_cast<uint16_t>(static_cast<int16_t>(static_cast<int8_t>(byte_pair)));
      const uint32_t high =
          static_cast<uint16_t>(static_cast<int16_t>(static_cast<int8_t>(byte_pair >> 8)));
      return static_cast<int>(low | (high << 16));
    };
    return Operand{widen(word & 0xffffu), widen(word >> 16)};
  }

  __device__ static int32_t dot4(Operand a, uint32_t b_word, int32_t acc) {
    acc = __dp2a_lo(a.low_pair, static_cast<int>(b_word), acc);
    return __dp2a_hi(a.high_pair, static_cast<int>(b_word), acc);
  }
};

}  // namespace vexal_cmp170hx_dp2a

template struct explicit_mining::Slots<vexal_cmp170hx_dp2a::Dp2aArithmetic>;
