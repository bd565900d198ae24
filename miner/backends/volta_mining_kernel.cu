// The Volta backend: the explicit mining kernels with four-way integer dot
// products; kernels and slots are the shared explicit ones.
#include "backends/volta_mining_kernel.h"

#include "backends/explicit_mining_kernels.h"

namespace vexal_volta {

// Four int8 products in one instruction, which every architecture from
// compute capability 6.1 on executes (Volta has no int8 tensor cores).
struct Dp4aArithmetic {
  using Operand = int;

  __device__ static Operand prepare(uint32_t word) { return static_cast<int>(word); }

  __device__ static int32_t dot4(Operand a, uint32_t b_word, int32_t acc) {
    return __dp4a(a, static_cast<int>(b_word), acc);
  }
};

}  // namespace vexal_volta

template struct explicit_mining::Slots<vexal_volta::Dp4aArithmetic>;
