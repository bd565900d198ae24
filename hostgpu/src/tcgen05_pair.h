#pragma once
// The pair MMA in three steps, so that it can take effect after its issue:
// checked (and its operands shown to the async-proxy check) when issued,
// executed when it completes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hostgpu/tcgen05.h"

namespace hostgpu::tcgen05::detail {

struct PairMma {
  MmaKind kind;
  InstructionDescriptor instruction;
  SharedDescriptor a;
  SharedDescriptor b;
  uint32_t column;  // D's first tensor-memory column
  bool accumulate;
  PairHalf even;
  PairHalf odd;
};

// Decodes and checks an MMA (faults naming what is wrong).
PairMma check_pair_mma(MmaKind kind, const PairHalf& even, const PairHalf& odd, uint32_t d, uint64_t a_descriptor,
                       uint64_t b_descriptor, uint32_t instruction_descriptor, bool accumulate);

// The async-proxy check of the operand bytes it reads.
void report_pair_operands(const PairMma& mma);

// The operand bytes it reads, in a fixed order: A's rows, then B's.
std::vector<unsigned char> pair_operand_bytes(const PairMma& mma);

// Where byte `index` of pair_operand_bytes lies, in words.
std::string pair_operand_place(const PairMma& mma, size_t index);

// Reads the operands and writes (or adds to) D in both CTAs' tensor memory.
void execute_pair_mma(const PairMma& mma);

}  // namespace hostgpu::tcgen05::detail
