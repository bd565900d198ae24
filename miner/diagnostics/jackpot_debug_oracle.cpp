#include "diagnostics/jackpot_debug_oracle.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "backends/backend_descriptor.h"
#include "core/codecs.h"
#include "core/config.h"
#include "core/cuda_check.h"
#include "core/device_rows.h"
#include "engine/device_buffer.h"
#include "proof/candidate_rows_cols.h"

namespace {

uint32_t rotl32(uint32_t word, int bits) { return (word << bits) | (word >> (32 - bits)); }

// Wrap-around dot product of two rows over [begin, end).
int32_t dot(const int8_t* a, const int8_t* b, int32_t begin, int32_t end) {
  uint32_t sum = 0;
  for (int32_t t = begin; t < end; ++t) {
    sum += static_cast<uint32_t>(static_cast<int32_t>(a[t]) * static_cast<int32_t>(b[t]));
  }
  return static_cast<int32_t>(sum);
}

std::vector<int8_t> as_int8(const std::vector<uint8_t>& bytes) {
  return std::vector<int8_t>(bytes.begin(), bytes.end());
}

// The replay's snapshot read at the GPU's value index; outside it (a thread
// whose values are not its accumulators) reads 0 rather than past the end.
int32_t snapshot_at(const JackpotReplay& replay, size_t index) {
  return index < replay.snapshots.size() ? replay.snapshots[index] : 0;
}

void print_first8(const char* name, const std::vector<int8_t>& row) {
  std::cout << " " << name << "=";
  const size_t count = std::min<size_t>(8, row.size());
  for (size_t i = 0; i < count; ++i) {
    if (i) std::cout << ",";
    std::cout << static_cast<int>(row[i]);
  }
}

std::string hex_word(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof(text), "%x", value);
  return text;
}

// The GPU's debug GEMM over one rank step of the winning tile.
struct RankTileProduct {
  std::vector<int32_t> product;
  std::vector<int32_t> counts;
};

RankTileProduct gpu_rank_tile(const GpuBackendDescriptor& row, const std::vector<int8_t>& a_tile,
                              const std::vector<int8_t>& b_tile, int32_t height, int32_t width,
                              int32_t k, int32_t rank, int32_t step) {
  std::vector<int8_t> a(static_cast<size_t>(height) * rank);
  std::vector<int8_t> b(static_cast<size_t>(width) * rank);
  const size_t from = static_cast<size_t>(step) * rank;
  for (int32_t r = 0; r < height; ++r) {
    std::copy_n(a_tile.begin() + static_cast<size_t>(r) * k + from, rank, a.begin() + static_cast<size_t>(r) * rank);
  }
  for (int32_t r = 0; r < width; ++r) {
    std::copy_n(b_tile.begin() + static_cast<size_t>(r) * k + from, rank, b.begin() + static_cast<size_t>(r) * rank);
  }
  const uint64_t cells = static_cast<uint64_t>(height) * static_cast<uint64_t>(width);
  OwnedDeviceBuffer<int8_t> device_a(allocate_device_buffer<int8_t>(a.size(), "cudaMalloc"));
  OwnedDeviceBuffer<int8_t> device_b(allocate_device_buffer<int8_t>(b.size(), "cudaMalloc"));
  OwnedDeviceBuffer<int32_t> device_c(allocate_device_buffer<int32_t>(cells, "cudaMalloc"));
  OwnedDeviceBuffer<int32_t> device_counts(allocate_device_buffer<int32_t>(cells, "cudaMalloc"));
  check_cuda(cudaMemcpy(device_a.data(), a.data(), a.size(), cudaMemcpyHostToDevice),
             "copy rank A tile");
  check_cuda(cudaMemcpy(device_b.data(), b.data(), b.size(), cudaMemcpyHostToDevice),
             "copy rank B tile");
  check_cuda(cudaMemset(device_c.data(), 0, cells * sizeof(int32_t)), "clear rank C tile");
  check_cuda(cudaMemset(device_counts.data(), 0, cells * sizeof(int32_t)),
             "clear rank count tile");
  const cudaError_t launched =
      row.launch_debug_gemm_tile
          ? row.launch_debug_gemm_tile(device_a.data(), device_b.data(), device_c.data(),
                                       device_counts.data(), height, width, rank, nullptr)
          : cudaErrorInvalidValue;
  check_cuda(launched, "debug rank gemm tile");
  check_cuda(cudaDeviceSynchronize(), "debug rank gemm synchronize");
  RankTileProduct result;
  result.product.resize(cells);
  result.counts.resize(cells);
  check_cuda(cudaMemcpy(result.product.data(), device_c.data(), cells * sizeof(int32_t),
                        cudaMemcpyDeviceToHost),
             "copy rank C tile");
  check_cuda(cudaMemcpy(result.counts.data(), device_counts.data(), cells * sizeof(int32_t),
                        cudaMemcpyDeviceToHost),
             "copy rank count tile");
  return result;
}

}  // namespace

JackpotGeometry jackpot_geometry(const Config& config, const HostSignalHeader& header) {
  JackpotGeometry g;
  g.pairs = header.pair_count;
  g.half = g.pairs / 2;
  const auto invalid = [] {
    return std::runtime_error("invalid jackpot debug transcript geometry");
  };
  if (g.pairs < 2 || g.pairs % 2 != 0 || header.tile_width <= 0 ||
      header.tile_width % g.half != 0) {
    throw invalid();
  }
  // A tile below one row group, or a thread outside its block, would place
  // the candidate's cells outside the tile copies.
  if (header.tile_height < 64 || config.rank < 1) throw invalid();
  g.steps = config.k / config.rank;
  g.candidates_per_block = (header.tile_height / 64) * (header.tile_width / g.half) * 32;
  if (header.candidate_thread < 0 || header.candidate_thread >= g.candidates_per_block) {
    throw invalid();
  }
  g.global_block = static_cast<int64_t>(config.m / header.tile_height) * header.tile_n_index +
                   header.tile_m_index;
  const int64_t thread = g.global_block * g.candidates_per_block + header.candidate_thread;
  g.entry_base = thread * g.steps;
  return g;
}

JackpotCandidateLayout jackpot_candidate_layout(int32_t candidate, int32_t tile_height) {
  const int32_t groups = tile_height / 64;
  JackpotCandidateLayout layout;
  layout.row_group = (candidate / 32) % groups;
  layout.col_group = (candidate / 32) / groups;
  layout.row_offset = candidate % 32;
  return layout;
}

JackpotReplay cpu_jackpot_replay(const std::vector<int8_t>& a_rows,
                                 const std::vector<int8_t>& b_rows, int32_t nr, int32_t nc,
                                 int32_t k, int32_t rank) {
  JackpotReplay replay;
  std::vector<uint32_t> acc(static_cast<size_t>(nr) * nc, 0);
  uint32_t state[16] = {};
  for (int32_t k_pos = rank; k_pos <= k; k_pos += rank) {
    for (int32_t i = 0; i < nr; ++i) {
      for (int32_t j = 0; j < nc; ++j) {
        acc[static_cast<size_t>(i) * nc + j] += static_cast<uint32_t>(
            dot(&a_rows[static_cast<size_t>(i) * k], &b_rows[static_cast<size_t>(j) * k],
                k_pos - rank, k_pos));
      }
    }
    uint32_t fold = 0;
    for (uint32_t value : acc) fold ^= value;
    const uint32_t s = static_cast<uint32_t>(k_pos / rank - 1) % 16;
    state[s] = rotl32(state[s], 13) ^ fold;
    replay.steps.push_back({s, fold, state[s], static_cast<uint32_t>(k_pos)});
    for (uint32_t value : acc) replay.snapshots.push_back(static_cast<int32_t>(value));
  }
  return replay;
}

JackpotDivergence first_jackpot_divergence(const std::vector<VexalHeadlessJackpotDumpEntry>& entries,
                                           const std::vector<int32_t>& values,
                                           const std::vector<uint32_t>& counts,
                                           const JackpotReplay& replay, int32_t pairs) {
  const size_t steps = std::min(entries.size(), replay.steps.size());
  const size_t p = static_cast<size_t>(pairs);
  for (size_t q = 0; q < steps; ++q) {
    const VexalHeadlessJackpotDumpEntry& gpu = entries[q];
    const JackpotReplayStep& cpu = replay.steps[q];
    uint32_t values_xor = 0;
    bool bad_count = false;
    for (size_t v = q * p; v < q * p + p; ++v) {
      values_xor ^= static_cast<uint32_t>(values[v]);
      bad_count = bad_count || counts[v] != 1;
    }
    JackpotDivergence found;
    found.step = static_cast<int32_t>(q);
    if (gpu.k_pos != cpu.k_pos || gpu.transcript_index != cpu.transcript_index) {
      found.reason = "ll_or_transcript_idx";
    } else if (bad_count) {
      found.reason = "gpu_value_count";
    } else if (gpu.xored_tile != cpu.xored_tile || cpu.xored_tile != values_xor) {
      found.reason = "xored_tile";
    } else if (gpu.transcript_word != cpu.transcript_word) {
      found.reason = "transcript_word";
    } else {
      continue;
    }
    return found;
  }
  return {};
}

void print_int_list_field(const char* name, const std::vector<int32_t>& values, size_t first,
                          size_t count) {
  std::cout << " " << name << "=";
  for (size_t i = 0; i < count; ++i) {
    if (i) std::cout << ",";
    std::cout << values[first + i];
  }
}

void jackpot_debug_oracle(const Config& config, const GpuBackendDescriptor& row,
                          const HostSignalHeader* header_pointer,
                          const VexalHeadlessJackpotDumpEntry* entry_buffer,
                          const int32_t* value_buffer, const uint32_t* count_buffer,
                          const int8_t* raw_a, const int8_t* raw_b, const int8_t* noised_a,
                          const int8_t* noised_b, const uint8_t a_noise_seed[32],
                          const uint8_t b_noise_seed[32]) {
  if (!entry_buffer || !value_buffer || !count_buffer) return;
  const HostSignalHeader& header = *header_pointer;
  const JackpotGeometry g = jackpot_geometry(config, header);
  const int32_t k = config.k;
  const int32_t rank = config.rank;
  const size_t p = static_cast<size_t>(g.pairs);
  const size_t steps = static_cast<size_t>(g.steps);

  std::vector<VexalHeadlessJackpotDumpEntry> entries(steps);
  std::vector<int32_t> values(steps * p);
  std::vector<uint32_t> counts(steps * p);
  check_cuda(cudaMemcpy(entries.data(), entry_buffer + g.entry_base,
                        steps * sizeof(VexalHeadlessJackpotDumpEntry), cudaMemcpyDeviceToHost),
             "copy jackpot debug entries");
  check_cuda(cudaMemcpy(values.data(), value_buffer + g.entry_base * g.pairs,
                        values.size() * sizeof(int32_t), cudaMemcpyDeviceToHost),
             "copy jackpot debug values");
  check_cuda(cudaMemcpy(counts.data(), count_buffer + g.entry_base * g.pairs,
                        counts.size() * sizeof(uint32_t), cudaMemcpyDeviceToHost),
             "copy jackpot debug value counts");

  const OpenedRowsCols opened = candidate_rows_cols(header);
  const std::vector<int8_t> a_rows =
      as_int8(gather_device_rows(noised_a, opened.rows, k, "copy debug A' rows"));
  const std::vector<int8_t> b_rows =
      as_int8(gather_device_rows(noised_b, opened.cols, k, "copy debug B' rows"));
  const int32_t height = header.tile_height;
  const int32_t width = header.tile_width;
  const std::vector<int8_t> a_tile = as_int8(copy_rows_to_host(
      noised_a, static_cast<int64_t>(header.tile_m_index) * height, static_cast<uint64_t>(height),
      k, "copy debug A' tile rows"));
  const std::vector<int8_t> b_tile = as_int8(copy_rows_to_host(
      noised_b, static_cast<int64_t>(header.tile_n_index) * width, static_cast<uint64_t>(width),
      k, "copy debug B' tile rows"));
  const std::vector<int8_t> raw_a_row = as_int8(copy_rows_to_host(
      raw_a, static_cast<int64_t>(opened.rows.at(0)), 1, k, "copy debug raw A row"));
  const std::vector<int8_t> raw_b_row = as_int8(copy_rows_to_host(
      raw_b, static_cast<int64_t>(opened.cols.at(0)), 1, k, "copy debug raw B row"));

  const int32_t nr = static_cast<int32_t>(opened.rows.size());
  const int32_t nc = static_cast<int32_t>(opened.cols.size());
  const JackpotReplay replay = cpu_jackpot_replay(a_rows, b_rows, nr, nc, k, rank);
  const JackpotDivergence divergence = first_jackpot_divergence(entries, values, counts, replay, g.pairs);

  std::cout << "jackpot_debug block=(" << header.tile_m_index << "," << header.tile_n_index << ")"
            << " candidate_thread=" << header.candidate_thread
            << " global_block_linear=" << g.global_block << " steps=" << g.steps
            << " first_divergence=" << divergence.step << " reason=" << divergence.reason
            << " a_noise_seed=" << hex32(a_noise_seed) << " b_noise_seed=" << hex32(b_noise_seed);
  print_first8("secret_a0_first8", raw_a_row);
  print_first8("secret_b0_first8", raw_b_row);
  print_first8("noised_a0_first8", std::vector<int8_t>(a_rows.begin(), a_rows.begin() + k));
  print_first8("noised_b0_first8", std::vector<int8_t>(b_rows.begin(), b_rows.begin() + k));
  std::cout << "\n";
  if (divergence.step < 0) {
    std::cout << "jackpot_debug_result all GPU per-step jackpot entries match CPU replay for the "
                 "winning candidate\n";
    std::cout.flush();
    return;
  }

  const size_t q = static_cast<size_t>(divergence.step);
  const VexalHeadlessJackpotDumpEntry& gpu = entries[q];
  const JackpotReplayStep& cpu = replay.steps[q];
  uint32_t values_xor = 0;
  for (size_t v = 0; v < p; ++v) values_xor ^= static_cast<uint32_t>(values[q * p + v]);

  int32_t first_cell = -1;
  for (size_t v = 0; v < p; ++v) {
    if (values[q * p + v] != snapshot_at(replay, q * p + v) || counts[q * p + v] != 1) {
      first_cell = static_cast<int32_t>(v);
      break;
    }
  }

  // The candidate of the tile whose full dot products up to this step are the GPU's values.
  const int32_t depth = static_cast<int32_t>(q + 1) * rank;
  int32_t matching = -1;
  for (int32_t c = 0; c < g.candidates_per_block && matching < 0; ++c) {
    const JackpotCandidateLayout layout = jackpot_candidate_layout(c, height);
    bool all_equal = true;
    for (int32_t i = 0; i < 2 && all_equal; ++i) {
      const int32_t tile_row = 64 * layout.row_group + layout.row_offset + 32 * i;
      for (int32_t j = 0; j < g.half && all_equal; ++j) {
        const int32_t tile_col = layout.col_group * g.half + j;
        const int32_t cell = dot(&a_tile[static_cast<size_t>(tile_row) * k],
                                 &b_tile[static_cast<size_t>(tile_col) * k], 0, depth);
        all_equal = cell == values[q * p + static_cast<size_t>(i * g.half + j)];
      }
    }
    if (all_equal) matching = c;
  }

  std::cout << "jackpot_debug_divergence gpu_block=(" << gpu.block_x << "," << gpu.block_y << ")"
            << " gpu_k_tile=" << gpu.k_tile << " gpu_transcript_idx=" << gpu.transcript_index
            << " gpu_ll=" << gpu.k_pos << " cpu_ll=" << cpu.k_pos
            << " gpu_xored_tile=0x" << hex_word(gpu.xored_tile)
            << " gpu_values_xor=0x" << hex_word(values_xor)
            << " cpu_xored_tile=0x" << hex_word(cpu.xored_tile)
            << " gpu_word=0x" << hex_word(gpu.transcript_word)
            << " cpu_word=0x" << hex_word(cpu.transcript_word)
            << " first_cell_diff=" << first_cell << " matching_candidate_in_tile=" << matching
            << "\n";
  if (first_cell >= 0) {
    const int32_t rr = first_cell / g.half;
    const int32_t col = first_cell % g.half;
    std::vector<int32_t> products(static_cast<size_t>(rank), 0);
    if (rr < nr && col < nc) {
      const int8_t* a = &a_rows[static_cast<size_t>(rr) * k];
      const int8_t* b = &b_rows[static_cast<size_t>(col) * k];
      for (int32_t t = 0; t < rank; ++t) {
        const size_t at = q * rank + t;
        products[static_cast<size_t>(t)] = static_cast<int32_t>(a[at]) * static_cast<int32_t>(b[at]);
      }
    }
    std::cout << "jackpot_debug_first_cell rr=" << rr << " col=" << col
              << " gpu_accum=" << values[q * p + first_cell]
              << " cpu_accum=" << snapshot_at(replay, q * p + first_cell)
              << " gpu_count=" << counts[q * p + first_cell] << "\n";
    print_int_list_field("cpu_products128", products, 0, products.size());
    std::cout << "\n";
  }
  std::cout.flush();

  const RankTileProduct oracle =
      gpu_rank_tile(row, a_tile, b_tile, height, width, k, rank, divergence.step);
  const JackpotCandidateLayout own = jackpot_candidate_layout(header.candidate_thread, height);
  int32_t mismatches = 0;
  int32_t bad_counts = 0;
  for (int32_t i = 0; i < 2; ++i) {
    const int32_t tile_row = 64 * own.row_group + own.row_offset + 32 * i;
    for (int32_t j = 0; j < g.half; ++j) {
      const size_t cell = static_cast<size_t>(tile_row) * width + own.col_group * g.half + j;
      if (values[q * p + static_cast<size_t>(i * g.half + j)] != oracle.product[cell]) ++mismatches;
      if (oracle.counts[cell] != 1) ++bad_counts;
    }
  }
  std::vector<int32_t> cpu_values(p);
  for (size_t v = 0; v < p; ++v) cpu_values[v] = snapshot_at(replay, q * p + v);
  std::cout << "jackpot_debug_rank_oracle candidate_row_group=" << own.row_group
            << " candidate_col_group=" << own.col_group << " row_offset=" << own.row_offset
            << " oracle_vs_dump_mismatches=" << mismatches << " oracle_bad_counts=" << bad_counts
            << "\n";
  print_int_list_field("gpu_accum128", values, q * p, p);
  std::cout << "\n gpu_accum128_counts=";
  for (size_t v = 0; v < p; ++v) {
    if (v) std::cout << ",";
    std::cout << counts[q * p + v];
  }
  std::cout << "\n";
  print_int_list_field("cpu_accum128", cpu_values, 0, p);
  std::cout << "\n";
  std::cout.flush();
}
