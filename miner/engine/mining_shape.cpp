#include "engine/mining_shape.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/config.h"
#include "tensor_hash/tensor_hash_host.h"

namespace {

constexpr uint64_t kLeafBytes = 1024;
constexpr uint64_t kCellsPerCandidate = 128;
constexpr uint64_t kMaxCandidates = 0xFFFFFFFFull;

// The mining launch's shape rule of one group of rows.
struct MiningShapeRule {
  const char* rows[4];
  int32_t m_multiple;
  int32_t n_multiple;
  int32_t k_multiple;
  int32_t rank_multiple;
  int32_t exact_rank;  // 0: any rank passing rank_multiple
};

constexpr MiningShapeRule kRules[] = {
    {{"volta_sm70", "cmp170hx_dp2a_int", "cmp170hx_scalar_int"}, 128, 128, 1, 4, 0},
    {{"turing_sm75", "ampere_sm8x"}, 128, 128, 64, 64, 0},
    {{"cmp170hx_sm80"}, 128, 128, 128, 128, 0},
    {{"ada_sm89", "hopper_sm90", "blackwell_sm120", "blackwell_native_sm120"}, 128, 256, 128, 128, 0},
    // The two-SM cluster needs an even number of 256-column tiles.
    {{"blackwell_b200_sm100"}, 256, 512, 128, 128, 128},
    {{"blackwell_b300_sm103"}, 256, 256, 128, 128, 128},
};

const MiningShapeRule* rule_for(const char* name) {
  for (const MiningShapeRule& rule : kRules) {
    for (const char* row : rule.rows) {
      if (row && std::strcmp(row, name) == 0) return &rule;
    }
  }
  return nullptr;
}

std::string shape_text(const Config& shape) {
  return "m=" + std::to_string(shape.m) + " n=" + std::to_string(shape.n) +
         " k=" + std::to_string(shape.k) + " rank=" + std::to_string(shape.rank);
}

[[noreturn]] void refuse(const Config& shape, const GpuBackendDescriptor& row,
                         const std::string& reason) {
  throw std::runtime_error(std::string("unsupported mining shape ") + shape_text(shape) +
                           " for backend " + row.name + ": " + reason);
}

std::string multiple_text(const char* what, int32_t multiple) {
  return std::string(what) + " must be a multiple of " + std::to_string(multiple);
}

}  // namespace

uint64_t padded_matrix_bytes(int32_t rows, int32_t k) {
  const int64_t bytes = matrix_bytes(rows, k);
  if (bytes <= 0) return 0;
  const uint64_t unsigned_bytes = static_cast<uint64_t>(bytes);
  return (unsigned_bytes + kLeafBytes - 1) / kLeafBytes * kLeafBytes;
}

uint32_t tensor_hash_blocks(int32_t rows, int32_t k) {
  const int64_t bytes = std::max<int64_t>(0, matrix_bytes(rows, k));
  return tensor_hash_mt_leaf_count(static_cast<uint64_t>(bytes));
}

void require_backend_built(const GpuBackendDescriptor& row) {
  const bool can_mine = row.launch_noise_and_mine || is_split_backend(row);
  if (!row.launch_fill_int8 || !row.launch_generate_noise || !row.signal_header_bytes ||
      !row.signal_sync_bytes || !can_mine) {
    throw std::runtime_error(std::string("backend ") + row.name +
                             " is not available in this build");
  }
}

void check_mining_shape(const Config& shape, const GpuBackendDescriptor& row) {
  if (shape.rank < 1 || shape.k < 1 || shape.k % shape.rank != 0) {
    throw std::runtime_error("unsupported mining k/rank shape");
  }
  if (shape.m < 1 || shape.n < 1) refuse(shape, row, "m and n must be at least 1");
  if (shape.rank != 64 && shape.rank != 128) {
    refuse(shape, row, "the noise generation supports rank 64 and 128 only");
  }
  if (const MiningShapeRule* rule = rule_for(row.name)) {
    if (shape.m % rule->m_multiple != 0) refuse(shape, row, multiple_text("m", rule->m_multiple));
    if (shape.n % rule->n_multiple != 0) refuse(shape, row, multiple_text("n", rule->n_multiple));
    if (shape.k % rule->k_multiple != 0) refuse(shape, row, multiple_text("k", rule->k_multiple));
    if (shape.rank % rule->rank_multiple != 0) {
      refuse(shape, row, multiple_text("rank", rule->rank_multiple));
    }
    if (rule->exact_rank && shape.rank != rule->exact_rank) {
      refuse(shape, row, "rank must be " + std::to_string(rule->exact_rank));
    }
  }
  // The kernels elect a launch's winner by a 32-bit ticket per candidate
  // thread, and each candidate thread covers 128 cells of the product.
  const uint64_t candidates =
      static_cast<uint64_t>(shape.m) * static_cast<uint64_t>(shape.n) / kCellsPerCandidate;
  if (candidates >= kMaxCandidates) {
    refuse(shape, row,
           "m x n gives " + std::to_string(candidates) + " candidate threads, more than " +
               std::to_string(kMaxCandidates - 1));
  }
  const uint64_t largest = static_cast<uint64_t>(
      std::max(matrix_bytes(shape.m, shape.k), matrix_bytes(shape.n, shape.k)));
  if (largest > kTensorHashMaxBytes) {
    refuse(shape, row,
           "a matrix of " + std::to_string(largest) + " bytes exceeds the tensor hash limit of " +
               std::to_string(kTensorHashMaxBytes) + " bytes");
  }
}
