// tcgen05.mma.cta_group::2 with shared-memory operands, from the PTX ISA's
// descriptor formats and its K-major 128-byte-swizzle canonical layout.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hostgpu/device_cluster.h"
#include "hostgpu/device_sync.h"
#include "hostgpu/tcgen05.h"
#include "tcgen05_pair.h"

namespace hostgpu::tcgen05 {
namespace {

uint32_t bits(uint64_t value, int first, int count) {
  return static_cast<uint32_t>((value >> first) & ((uint64_t{1} << count) - 1));
}

[[noreturn]] void refuse(const std::string& what) { hostgpu::detail::fault("tcgen05.mma: " + what); }

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%x", value);
  return text;
}

float bfloat16_value(uint16_t raw) {
  const uint32_t word = uint32_t{raw} << 16;
  float value;
  std::memcpy(&value, &word, sizeof(value));
  return value;
}

// Element e (of `bytes` bytes) of row `row` within this CTA's share of an operand.
const unsigned char* element(const PairHalf& half, const SharedDescriptor& d, uint32_t row, uint32_t e,
                             uint32_t bytes) {
  const uint32_t offset = k_major_swizzled_offset(d, row, e * bytes);
  if (offset + bytes > half.shared_bytes) refuse("operand outside shared memory");
  return half.shared + offset;
}

void check_operand(const SharedDescriptor& d, const char* name) {
  const std::string which(name);
  if (d.fixed_constant != 1) refuse(which + " descriptor: bits 46-48 must hold 0b001");
  if (d.swizzle != 2) refuse(which + " descriptor: only the 128-byte swizzle is emulated");
  // The swizzle repeats every 1024 bytes; a start on row r of that pattern
  // needs base offset r, which the emulation leaves out.
  const uint32_t pattern_row = (d.start_address >> 7) & 7u;
  if (d.base_offset != pattern_row) {
    refuse(which + " descriptor: its start " + hex(d.start_address) + " is row " + std::to_string(pattern_row) +
           " of the 128-byte swizzle's 1024-byte pattern, so its base offset must be " + std::to_string(pattern_row) +
           ", not " + std::to_string(d.base_offset));
  }
  if (d.base_offset != 0) refuse(which + " descriptor: a non-zero base offset is not emulated");
  if (d.leading_mode != 0) refuse(which + " descriptor: the absolute leading-dimension mode is not emulated");
}

}  // namespace

SharedDescriptor decode_shared_descriptor(uint64_t descriptor) {
  SharedDescriptor d;
  d.start_address = bits(descriptor, 0, 14) << 4;
  d.leading_byte_offset = bits(descriptor, 16, 14) << 4;
  d.stride_byte_offset = bits(descriptor, 32, 14) << 4;
  d.fixed_constant = bits(descriptor, 46, 3);
  d.base_offset = bits(descriptor, 49, 3);
  d.leading_mode = bits(descriptor, 52, 1);
  d.swizzle = bits(descriptor, 61, 3);
  return d;
}

InstructionDescriptor decode_instruction_descriptor(uint32_t descriptor) {
  InstructionDescriptor d;
  d.sparsity_selector = bits(descriptor, 0, 2);
  d.sparse = bits(descriptor, 2, 1);
  d.saturate = bits(descriptor, 3, 1);
  d.d_type = bits(descriptor, 4, 2);
  d.a_type = bits(descriptor, 7, 3);
  d.b_type = bits(descriptor, 10, 3);
  d.negate_a = bits(descriptor, 13, 1);
  d.negate_b = bits(descriptor, 14, 1);
  d.transpose_a = bits(descriptor, 15, 1);
  d.transpose_b = bits(descriptor, 16, 1);
  d.n = bits(descriptor, 17, 6) << 3;
  d.m = bits(descriptor, 24, 5) << 4;
  d.max_shift = bits(descriptor, 30, 2);
  return d;
}

// Rows are 128 bytes apart within a group of eight and `stride_byte_offset`
// apart between groups; the swizzle XORs address bits 4-6 with bits 7-9, the
// pattern repeating every 1024 bytes of the window.
uint32_t k_major_swizzled_offset(const SharedDescriptor& d, uint32_t row, uint32_t k_byte) {
  const uint32_t linear = d.start_address + (row / 8) * d.stride_byte_offset + (row % 8) * 128 + k_byte;
  return linear ^ (((linear >> 7) & 7u) << 4);
}

namespace detail {

PairMma check_pair_mma(MmaKind kind, const PairHalf& even, const PairHalf& odd, uint32_t d, uint64_t a_descriptor,
                       uint64_t b_descriptor, uint32_t instruction_descriptor, bool accumulate) {
  PairMma mma{kind, decode_instruction_descriptor(instruction_descriptor), decode_shared_descriptor(a_descriptor),
              decode_shared_descriptor(b_descriptor), tensor_memory_column(d), accumulate, even, odd};
  const InstructionDescriptor& id = mma.instruction;
  check_operand(mma.a, "A");
  check_operand(mma.b, "B");
  if (id.sparse || id.sparsity_selector) refuse("sparse forms are not emulated");
  if (id.transpose_a || id.transpose_b) refuse("only K-major operands are emulated");
  if (id.negate_a || id.negate_b) refuse("negated operands are not emulated");
  if (id.max_shift) refuse("the maximum-shift field belongs to the .ws forms");
  if (id.m != 256) refuse("the pair form is emulated for M = 256 only");
  if (kind == MmaKind::i8) {
    if (id.d_type != 2) refuse("kind::i8 accumulates in s32 (dtype 2)");
    if (id.a_type > 1 || id.b_type > 1) refuse("kind::i8 takes unsigned (0) or signed (1) 8-bit operands");
    if (id.saturate) refuse("saturation is not emulated");
    if (id.n < 32 || id.n > 256 || id.n % 32 != 0) {
      refuse("kind::i8 with cta_group::2 takes N a multiple of 32 from 32 to 256, not " + std::to_string(id.n));
    }
  } else {
    if (id.d_type != 1) refuse("only f32 accumulators are emulated for kind::f16");
    if (id.a_type != 1 || id.b_type != 1) refuse("only bf16 operands are emulated for kind::f16");
    if (id.saturate) refuse("saturation belongs to kind::i8");
    if (id.n < 32 || id.n > 256 || id.n % 16 != 0) refuse("N must be a multiple of 16 from 32 to 256");
  }
  if (tensor_memory_lane(d) != 0) refuse("D must start at lane 0");
  if (mma.column + id.n > TensorMemory::kColumns) refuse("D runs past column 511");
  const PairHalf* halves[2] = {&even, &odd};
  for (int h = 0; h < 2; ++h) {
    const uint32_t first_slice = mma.column / TensorMemory::kSliceColumns;
    const uint32_t last_slice = (mma.column + id.n - 1) / TensorMemory::kSliceColumns;
    for (uint32_t s = first_slice; s <= last_slice; ++s) {
      if (!(halves[h]->tensor_memory->allocated_slices & (1u << s))) {
        refuse(std::string("D columns are not allocated in the ") + (h == 0 ? "even" : "odd") +
               " CTA of the pair (one warp of each CTA allocates them with cta_group::2)");
      }
    }
  }
  return mma;
}

// The operands are read by the async proxy: each row's 32 bytes of K are
// two whole 16-byte units, which the swizzle moves but never splits.
void report_pair_operands(const PairMma& mma) {
  const PairHalf* halves[2] = {&mma.even, &mma.odd};
  auto report = [&](const SharedDescriptor& d, uint32_t rows) {
    for (uint32_t r = 0; r < rows; ++r) {
      const PairHalf& half = *halves[r / (rows / 2)];
      for (uint32_t unit = 0; unit < 2; ++unit) {
        hostgpu::async_proxy_access(element(half, d, r % (rows / 2), unit, 16), 16, "a tcgen05.mma operand read");
      }
    }
  };
  report(mma.a, mma.instruction.m);
  report(mma.b, mma.instruction.n);
}

std::vector<unsigned char> pair_operand_bytes(const PairMma& mma) {
  const PairHalf* halves[2] = {&mma.even, &mma.odd};
  std::vector<unsigned char> bytes;
  bytes.reserve(size_t{32} * (mma.instruction.m + mma.instruction.n));
  auto gather = [&](const SharedDescriptor& d, uint32_t rows) {
    for (uint32_t r = 0; r < rows; ++r) {
      const PairHalf& half = *halves[r / (rows / 2)];
      for (uint32_t unit = 0; unit < 2; ++unit) {
        const unsigned char* at = element(half, d, r % (rows / 2), unit, 16);
        bytes.insert(bytes.end(), at, at + 16);
      }
    }
  };
  gather(mma.a, mma.instruction.m);
  gather(mma.b, mma.instruction.n);
  return bytes;
}

std::string pair_operand_place(const PairMma& mma, size_t index) {
  const uint32_t row = static_cast<uint32_t>(index / 32);
  const bool is_a = row < mma.instruction.m;
  const uint32_t rows = is_a ? mma.instruction.m : mma.instruction.n;
  const uint32_t r = is_a ? row : row - mma.instruction.m;
  const bool odd = r >= rows / 2;
  const uint32_t offset =
      k_major_swizzled_offset(is_a ? mma.a : mma.b, r % (rows / 2), static_cast<uint32_t>(index % 32 / 16) * 16) +
      static_cast<uint32_t>(index % 16);
  return std::string("of ") + (is_a ? "A" : "B") + "'s row " + std::to_string(r) + " at shared address " +
         hex(offset) + " of the " + (odd ? "odd" : "even") + " CTA";
}

void execute_pair_mma(const PairMma& mma) {
  const InstructionDescriptor& id = mma.instruction;
  const MmaKind kind = mma.kind;
  const uint32_t element_bytes = kind == MmaKind::i8 ? 1 : 2;
  const uint32_t k = 32 / element_bytes;
  const uint32_t column = mma.column;
  const PairHalf* halves[2] = {&mma.even, &mma.odd};

  // Each operand row's K elements, gathered once from its CTA's swizzled stage.
  const uint32_t rows_per_cta = id.m / 2;
  const uint32_t columns_per_cta = id.n / 2;
  std::vector<double> a_values(id.m * k);
  std::vector<double> b_values(id.n * k);
  auto gather = [&](const PairHalf& half, const SharedDescriptor& d, uint32_t row, double* out,
                    bool is_signed) {
    for (uint32_t e = 0; e < k; ++e) {
      if (kind == MmaKind::i8) {
        const uint8_t x = *element(half, d, row, e, 1);
        out[e] = is_signed ? static_cast<int8_t>(x) : static_cast<double>(x);
      } else {
        uint16_t x;
        std::memcpy(&x, element(half, d, row, e, 2), 2);
        out[e] = bfloat16_value(x);
      }
    }
  };
  for (uint32_t r = 0; r < id.m; ++r) {
    gather(*halves[r / rows_per_cta], mma.a, r % rows_per_cta, &a_values[r * k], id.a_type == 1);
  }
  for (uint32_t j = 0; j < id.n; ++j) {
    gather(*halves[j / columns_per_cta], mma.b, j % columns_per_cta, &b_values[j * k], id.b_type == 1);
  }

  for (uint32_t r = 0; r < id.m; ++r) {
    uint32_t* out = &halves[r / rows_per_cta]->tensor_memory->cells[r % rows_per_cta][column];
    const double* x = &a_values[r * k];
    for (uint32_t j = 0; j < id.n; ++j) {
      const double* y = &b_values[j * k];
      // Every product is exact in double, and so is the sum of at most 32 of
      // them for kind::i8 (below 2^20) or kind::f16 on the bf16 values used.
      double products = 0.0;
      for (uint32_t e = 0; e < k; ++e) products += x[e] * y[e];
      if (kind == MmaKind::i8) {
        const uint32_t sum = static_cast<uint32_t>(static_cast<int64_t>(products));
        out[j] = (mma.accumulate ? out[j] : 0u) + sum;  // wraps modulo 2^32
      } else {
        // The hardware's internal order and width are unspecified beyond f32:
        // the sum is rounded to f32 once; sums of integers below 2^24 are the
        // same either way.
        double sum = products;
        if (mma.accumulate) {
          float previous;
          std::memcpy(&previous, &out[j], sizeof(previous));
          sum += previous;
        }
        const float rounded = static_cast<float>(sum);
        std::memcpy(&out[j], &rounded, sizeof(rounded));
      }
    }
  }
}

}  // namespace detail

void mma_pair(MmaKind kind, const PairHalf& even, const PairHalf& odd, uint32_t d, uint64_t a_descriptor,
              uint64_t b_descriptor, uint32_t instruction_descriptor, bool accumulate) {
  const detail::PairMma mma =
      detail::check_pair_mma(kind, even, odd, d, a_descriptor, b_descriptor, instruction_descriptor, accumulate);
  detail::report_pair_operands(mma);
  detail::execute_pair_mma(mma);
}

}  // namespace hostgpu::tcgen05
