#include "diagnostics/native_exact_rank_tile.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "backends/backend_descriptor.h"
#include "backends/blackwell_native_exact_kernel.h"
#include "core/cuda_check.h"
#include "diagnostics/debug_gemm_tile.h"
#include "engine/device_buffer.h"

namespace {

uint32_t rotl32(uint32_t word, int bits) { return (word << bits) | (word >> (32 - bits)); }

}  // namespace

NativeExactGeometry native_exact_geometry(const GpuBackendDescriptor& row) {
  NativeExactGeometry g;
  bool valid = true;
  if (row.tile_m) {
    g.tile_m = row.tile_m();
    valid = valid && g.tile_m > 0;
  }
  if (row.tile_n) {
    g.tile_n = row.tile_n();
    valid = valid && g.tile_n > 0;
  }
  if (row.tile_k) g.tile_k = row.tile_k();
  if (row.warp_tile_n) g.warp_tile_n = row.warp_tile_n();
  valid = valid && g.tile_k > 0 && g.warp_tile_n > 0 && g.tile_m % 64 == 0 &&
          g.tile_n % g.warp_tile_n == 0;
  if (!valid) {
    throw std::runtime_error("blackwell-native exact debug received invalid tile geometry");
  }
  return g;
}

int32_t native_exact_candidates(const NativeExactGeometry& g) {
  return (g.tile_m / 64) * (g.tile_n / g.warp_tile_n) * 32;
}

std::vector<uint32_t> native_exact_initial_transcript(int32_t candidates) {
  std::vector<uint32_t> words(static_cast<size_t>(candidates) * 16);
  for (size_t j = 0; j < words.size(); ++j) {
    words[j] = 0x9E3779B9u + static_cast<uint32_t>(j) * 0x045D9F3Bu;
  }
  return words;
}

uint32_t native_exact_fold(const NativeExactGeometry& g, int32_t candidate,
                           const std::vector<int8_t>& a, const std::vector<int8_t>& b,
                           int32_t row_length, int32_t k0, int32_t width) {
  const int32_t q = candidate / 32;
  const int32_t lane = candidate % 32;
  const int32_t row_groups = g.tile_m / 64;
  const int32_t rg = q % row_groups;
  const int32_t cg = q / row_groups;
  const size_t length = static_cast<size_t>(row_length);
  uint32_t fold = 0;
  for (int32_t half = 0; half < 2; ++half) {
    const size_t r = static_cast<size_t>(rg * 64 + lane + 32 * half);
    for (int32_t j = cg * g.warp_tile_n; j < (cg + 1) * g.warp_tile_n; ++j) {
      uint32_t sum = 0;
      for (int32_t t = k0; t < k0 + width; ++t) {
        sum += static_cast<uint32_t>(static_cast<int32_t>(a[r * length + t]) *
                                     static_cast<int32_t>(b[static_cast<size_t>(j) * length + t]));
      }
      fold ^= sum;
    }
  }
  return fold;
}

void native_exact_rank_step(std::vector<uint32_t>& transcript, int32_t candidate, int32_t step,
                            uint32_t fold) {
  uint32_t& word = transcript[static_cast<size_t>(candidate) * 16 + static_cast<size_t>(step % 16)];
  word = fold ^ rotl32(word, 13);
}

MismatchTally tally_mismatches(const std::vector<uint32_t>& gpu, const std::vector<uint32_t>& cpu) {
  MismatchTally tally;
  const size_t count = std::min(gpu.size(), cpu.size());
  for (size_t i = 0; i < count; ++i) {
    if (gpu[i] == cpu[i]) continue;
    if (tally.count == 0) tally.first = static_cast<int32_t>(i);
    ++tally.count;
  }
  return tally;
}

NativeExactCpuReplay native_exact_cpu_replay(const NativeExactGeometry& g) {
  constexpr int32_t kDepth = 4096;
  NativeExactCpuReplay cpu;
  cpu.candidates = native_exact_candidates(g);
  cpu.full_rank_steps = kDepth / g.tile_k;
  cpu.a = debug_gemm_operand(static_cast<int64_t>(g.tile_m) * g.tile_k, true);
  cpu.b = debug_gemm_operand(static_cast<int64_t>(g.tile_n) * g.tile_k, false);
  cpu.a2 = debug_gemm_operand(static_cast<int64_t>(g.tile_m) * kDepth, true);
  cpu.b2 = debug_gemm_operand(static_cast<int64_t>(g.tile_n) * kDepth, false);
  cpu.initial_transcript = native_exact_initial_transcript(cpu.candidates);
  cpu.transcript = cpu.initial_transcript;
  cpu.sequence_transcript = cpu.initial_transcript;
  cpu.hash.assign(static_cast<size_t>(cpu.candidates), 0);
  cpu.aggregate_hash.assign(static_cast<size_t>(cpu.candidates), 0);
  for (int32_t c = 0; c < cpu.candidates; ++c) {
    const uint32_t fold = native_exact_fold(g, c, cpu.a, cpu.b, g.tile_k, 0, g.tile_k);
    cpu.hash[static_cast<size_t>(c)] = fold;
    native_exact_rank_step(cpu.transcript, c, 3, fold);
  }
  for (int32_t s = 0; s < cpu.full_rank_steps; ++s) {
    for (int32_t c = 0; c < cpu.candidates; ++c) {
      const uint32_t fold = native_exact_fold(g, c, cpu.a2, cpu.b2, kDepth, s * g.tile_k, g.tile_k);
      cpu.aggregate_hash[static_cast<size_t>(c)] ^= fold;
      native_exact_rank_step(cpu.sequence_transcript, c, s, fold);
    }
  }
  return cpu;
}

namespace {

// The backend's per-candidate XOR of its tile accumulators, and its bad counts.
void backend_hashes(const NativeExactGeometry& g, int32_t candidates, const NativeExactGpuResults& gpu,
                    std::vector<uint32_t>& hashes, int32_t& bad_counts) {
  hashes.assign(static_cast<size_t>(candidates), 0);
  bad_counts = 0;
  const int32_t row_groups = g.tile_m / 64;
  for (int32_t c = 0; c < candidates; ++c) {
    const int32_t q = c / 32;
    const int32_t lane = c % 32;
    const int32_t rg = q % row_groups;
    const int32_t cg = q / row_groups;
    for (int32_t half = 0; half < 2; ++half) {
      const int32_t r = rg * 64 + lane + 32 * half;
      for (int32_t j = cg * g.warp_tile_n; j < (cg + 1) * g.warp_tile_n; ++j) {
        const size_t cell = static_cast<size_t>(r) * g.tile_n + j;
        hashes[static_cast<size_t>(c)] ^= static_cast<uint32_t>(gpu.tile_accumulators[cell]);
        if (gpu.tile_counts[cell] != 1) ++bad_counts;
      }
    }
  }
}

void first_group(std::string& line, const MismatchTally& tally, const char* index_key,
                 const char* gpu_key, const std::vector<uint32_t>& gpu, const char* cpu_key,
                 const std::vector<uint32_t>& cpu) {
  if (tally.count == 0) return;
  const size_t at = static_cast<size_t>(tally.first);
  line += std::string(" ") + index_key + "=" + std::to_string(tally.first) + " " + gpu_key + "=" +
          std::to_string(gpu[at]) + " " + cpu_key + "=" + std::to_string(cpu[at]);
}

}  // namespace

std::string native_exact_report_line(const NativeExactGeometry& g, const NativeExactCpuReplay& cpu,
                                     const NativeExactGpuResults& gpu) {
  std::vector<uint32_t> backend;
  int32_t bad_counts = 0;
  backend_hashes(g, cpu.candidates, gpu, backend, bad_counts);
  const MismatchTally hash = tally_mismatches(gpu.hashes, cpu.hash);
  const MismatchTally transcript = tally_mismatches(gpu.transcript, cpu.transcript);
  const MismatchTally owner_hash = tally_mismatches(gpu.owner_hashes, cpu.hash);
  const MismatchTally owner_transcript = tally_mismatches(gpu.owner_transcript, cpu.transcript);
  const MismatchTally backend_hash = tally_mismatches(backend, cpu.hash);
  const MismatchTally full_owner =
      tally_mismatches(gpu.full_owner_transcript, cpu.sequence_transcript);
  const MismatchTally full_hash = tally_mismatches(gpu.full_tile_hashes, cpu.aggregate_hash);
  const MismatchTally full_transcript =
      tally_mismatches(gpu.full_tile_transcript, cpu.sequence_transcript);

  std::string line = "debug_native_exact_rank_tile candidates=" + std::to_string(cpu.candidates) +
                     " hash_mismatches=" + std::to_string(hash.count) +
                     " transcript_mismatches=" + std::to_string(transcript.count) +
                     " owner_hash_mismatches=" + std::to_string(owner_hash.count) +
                     " owner_transcript_mismatches=" + std::to_string(owner_transcript.count) +
                     " backend_hash_mismatches=" + std::to_string(backend_hash.count) +
                     " backend_bad_counts=" + std::to_string(bad_counts) +
                     " full_rank_steps=" + std::to_string(cpu.full_rank_steps) +
                     " full_owner_transcript_mismatches=" + std::to_string(full_owner.count) +
                     " full_tile_hash_mismatches=" + std::to_string(full_hash.count) +
                     " full_tile_transcript_mismatches=" + std::to_string(full_transcript.count);
  first_group(line, hash, "first_hash_idx", "gpu_hash", gpu.hashes, "cpu_hash", cpu.hash);
  first_group(line, transcript, "first_transcript_idx", "gpu_transcript", gpu.transcript,
              "cpu_transcript", cpu.transcript);
  first_group(line, owner_hash, "first_owner_hash_idx", "owner_hash", gpu.owner_hashes,
              "cpu_hash", cpu.hash);
  first_group(line, owner_transcript, "first_owner_transcript_idx", "owner_transcript",
              gpu.owner_transcript, "cpu_transcript", cpu.transcript);
  first_group(line, backend_hash, "first_backend_hash_idx", "backend_hash", backend, "cpu_hash",
              cpu.hash);
  first_group(line, full_owner, "first_full_owner_transcript_idx", "full_owner_transcript",
              gpu.full_owner_transcript, "full_cpu_transcript", cpu.sequence_transcript);
  first_group(line, full_hash, "first_full_tile_hash_idx", "full_tile_hash", gpu.full_tile_hashes,
              "full_cpu_aggregate_hash", cpu.aggregate_hash);
  first_group(line, full_transcript, "first_full_tile_transcript_idx", "full_tile_transcript",
              gpu.full_tile_transcript, "full_cpu_transcript", cpu.sequence_transcript);
  return line + "\n";
}

namespace {

template <typename T>
OwnedDeviceBuffer<T> device_array(uint64_t count) {
  return OwnedDeviceBuffer<T>(allocate_device_buffer<T>(count, "cudaMalloc"));
}

template <typename T>
void upload(const OwnedDeviceBuffer<T>& to, const std::vector<T>& from, const char* step) {
  check_cuda(cudaMemcpy(to.data(), from.data(), from.size() * sizeof(T), cudaMemcpyHostToDevice),
             step);
}

template <typename T>
void clear(const OwnedDeviceBuffer<T>& buffer, const char* step) {
  check_cuda(cudaMemset(buffer.data(), 0, buffer.count() * sizeof(T)), step);
}

template <typename T>
std::vector<T> download(const OwnedDeviceBuffer<T>& from, const char* step) {
  std::vector<T> values(from.count());
  check_cuda(cudaMemcpy(values.data(), from.data(), values.size() * sizeof(T),
                        cudaMemcpyDeviceToHost),
             step);
  return values;
}

}  // namespace

void debug_native_exact_rank_tile(const GpuBackendDescriptor& backend) {
  namespace exact = vexal_blackwell_native_exact;
  constexpr int32_t kDepth = 4096;
  constexpr int32_t kTranscriptStep = 3;
  const NativeExactGeometry g = native_exact_geometry(backend);
  const int32_t candidates = native_exact_candidates(g);
  const uint64_t transcript_words = static_cast<uint64_t>(candidates) * 16;
  const uint64_t tile_cells = static_cast<uint64_t>(g.tile_m) * g.tile_n;
  const std::vector<int8_t> host_a = debug_gemm_operand(int64_t{g.tile_m} * g.tile_k, true);
  const std::vector<int8_t> host_b = debug_gemm_operand(int64_t{g.tile_n} * g.tile_k, false);
  const std::vector<uint32_t> initial = native_exact_initial_transcript(candidates);

  // One rank step of the tile: both native-exact kernels and the backend's GEMM.
  const auto a = device_array<int8_t>(host_a.size());
  const auto b = device_array<int8_t>(host_b.size());
  const auto transcript_in = device_array<uint32_t>(transcript_words);
  const auto hashes = device_array<uint32_t>(static_cast<uint64_t>(candidates));
  const auto transcript_out = device_array<uint32_t>(transcript_words);
  const auto owner_hashes = device_array<uint32_t>(static_cast<uint64_t>(candidates));
  const auto owner_transcript_out = device_array<uint32_t>(transcript_words);
  const auto tile_accumulators = device_array<int32_t>(tile_cells);
  const auto tile_counts = device_array<int32_t>(tile_cells);
  upload(a, host_a, "copy native exact debug A");
  upload(b, host_b, "copy native exact debug B");
  upload(transcript_in, initial, "copy native exact debug transcript");
  clear(hashes, "clear native exact debug hashes");
  clear(transcript_out, "clear native exact debug transcript out");
  clear(owner_hashes, "clear native exact owner debug hashes");
  clear(owner_transcript_out, "clear native exact owner debug transcript out");
  clear(tile_accumulators, "clear backend rank tile C");
  clear(tile_counts, "clear backend rank tile counts");

  check_cuda(exact::launch_debug_rank_tile(a.data(), b.data(), transcript_in.data(), hashes.data(),
                                           transcript_out.data(), g.tile_m, g.tile_n, g.tile_k, 0,
                                           0, 0, kTranscriptStep, nullptr),
             "native_exact_debug_rank_tile");
  check_cuda(exact::launch_owner_debug_rank_tile(a.data(), b.data(), transcript_in.data(),
                                                 owner_hashes.data(), owner_transcript_out.data(),
                                                 g.tile_m, g.tile_n, g.tile_k, 0, 0, 0,
                                                 kTranscriptStep, nullptr),
             "native_exact_owner_debug_rank_tile");
  check_cuda(backend.launch_debug_gemm_tile(a.data(), b.data(), tile_accumulators.data(),
                                            tile_counts.data(), g.tile_m, g.tile_n, g.tile_k,
                                            nullptr),
             "backend_debug_rank_tile_gemm");
  check_cuda(cudaDeviceSynchronize(), "native exact debug synchronize");
  NativeExactGpuResults gpu;
  gpu.hashes = download(hashes, "copy native exact hashes");
  gpu.transcript = download(transcript_out, "copy native exact transcript");
  gpu.owner_hashes = download(owner_hashes, "copy native exact owner hashes");
  gpu.owner_transcript = download(owner_transcript_out, "copy native exact owner transcript");
  gpu.tile_accumulators = download(tile_accumulators, "copy backend rank tile C");
  gpu.tile_counts = download(tile_counts, "copy backend rank tile counts");

  // The 4096-deep sequence: owner rank steps chained through two arrays, and
  // the full-tile kernel in one launch.
  const int32_t full_rank_steps = kDepth / g.tile_k;
  const std::vector<int8_t> host_a2 = debug_gemm_operand(int64_t{g.tile_m} * kDepth, true);
  const std::vector<int8_t> host_b2 = debug_gemm_operand(int64_t{g.tile_n} * kDepth, false);
  const auto full_a = device_array<int8_t>(host_a2.size());
  const auto full_b = device_array<int8_t>(host_b2.size());
  const auto sequence_transcript0 = device_array<uint32_t>(transcript_words);
  const auto sequence_transcript1 = device_array<uint32_t>(transcript_words);
  const auto sequence_hashes = device_array<uint32_t>(static_cast<uint64_t>(candidates));
  const auto full_tile_hashes = device_array<uint32_t>(static_cast<uint64_t>(candidates));
  const auto full_tile_transcript = device_array<uint32_t>(transcript_words);
  upload(full_a, host_a2, "copy native exact full A");
  upload(full_b, host_b2, "copy native exact full B");
  upload(sequence_transcript0, initial, "copy native exact sequence transcript");
  clear(full_tile_hashes, "clear native exact full-tile hashes");
  clear(full_tile_transcript, "clear native exact full-tile transcript");
  const OwnedDeviceBuffer<uint32_t>* sequence[2] = {&sequence_transcript0, &sequence_transcript1};
  for (int32_t s = 0; s < full_rank_steps; ++s) {
    check_cuda(exact::launch_owner_debug_rank_tile(
                   full_a.data(), full_b.data(), sequence[s % 2]->data(), sequence_hashes.data(),
                   sequence[(s + 1) % 2]->data(), g.tile_m, g.tile_n, kDepth, 0, 0, s * g.tile_k,
                   s, nullptr),
               "native_exact_owner_debug_rank_tile_sequence");
  }
  check_cuda(exact::launch_owner_debug_full_tile(full_a.data(), full_b.data(), transcript_in.data(),
                                                 full_tile_hashes.data(),
                                                 full_tile_transcript.data(), g.tile_m, g.tile_n,
                                                 kDepth, 0, 0, nullptr),
             "native_exact_owner_debug_full_tile");
  check_cuda(cudaDeviceSynchronize(), "native exact full sequence synchronize");
  gpu.full_owner_transcript =
      download(*sequence[full_rank_steps % 2], "copy native exact full owner transcript");
  gpu.full_tile_transcript = download(full_tile_transcript, "copy native exact full-tile transcript");
  gpu.full_tile_hashes = download(full_tile_hashes, "copy native exact full-tile hashes");

  std::cout << native_exact_report_line(g, native_exact_cpu_replay(g), gpu) << std::flush;
}
