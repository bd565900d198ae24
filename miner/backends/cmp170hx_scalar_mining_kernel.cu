// The CMP 170HX scalar backend: the explicit mining kernels with plain scalar
// multiply-adds; kernels and slots are the shared explicit ones.
#include "backends/cmp170hx_scalar_mining_kernel.h"

#include "backends/explicit_mining_kernels.h"

namespace vexal_cmp170hx_scalar {

// Four int8 products added one by one, in 32-bit wrap-around arithmetic.
struct ScalarArithmetic {
  using Operand = uint32_t;

  __device__ static Operand prepare(uint32_t word) { return word; }

  __device__ static int32_t dot4(Operand a, uint32_t b_word, int32_t acc) {
    uint32_t sum = static_cast<uint32_t>(acc);
    for (int i = 0; i < 4; ++i) {
      const int32_t product = static_cast<int32_t>(static_cast<int8_t>(a >> (8 * i))) *
                              static_cast<int32_t>(static_cast<int8_t>(b_word >> (8 * i)));
      sum += static_cast<uint32_t>(product);
    }
    return static_cast<int32_t>(sum);
  }
};

}  // namespace vexal_cmp170hx_scalar

template struct explicit_mining::Slots<vexal_cmp170hx_scalar::ScalarArithmetic>;
