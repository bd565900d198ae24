#pragma once
// Packed single-precision arithmetic of compute capability 10 (add.f32x2):
// two adds in one instruction. Part of the instruction layer: include
// "core/device_instructions.h", not this header.
//
// The instruction exists from sm_100 on; other images do the two adds one by
// one, with the same rounding (to nearest even), so the result never differs.
#include <cstdint>

#if defined(KORVATH_FLAVOUR_CUDA) && defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 1000
#define KORVATH_DEVICE_HAS_F32X2 1
#endif

namespace device_instructions {

// (r0, r1) = (a0 + b0, a1 + b1), each rounded to nearest even, never fused.
KORVATH_DEVICE_INSTRUCTION void fadd2_rn(float& r0, float& r1, float a0, float a1, float b0, float b1) {
#if defined(KORVATH_DEVICE_HAS_F32X2)
  asm("{\n"
      ".reg .b64 a, b, d;\n"
      "mov.b64 a, {%2, %3};\n"
      "mov.b64 b, {%4, %5};\n"
      "add.rn.f32x2 d, a, b;\n"
      "mov.b64 {%0, %1}, d;\n"
      "}\n"
      : "=f"(r0), "=f"(r1)
      : "f"(a0), "f"(a1), "f"(b0), "f"(b1));
#else
  r0 = __fadd_rn(a0, b0);
  r1 = __fadd_rn(a1, b1);
#endif
}

}  // namespace device_instructions
