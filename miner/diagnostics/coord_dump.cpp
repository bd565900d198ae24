#include "diagnostics/coord_dump.h"

#include <algorithm>
#include <iostream>
#include <set>
#include <stdexcept>
#include <utility>

#include "backends/backend_descriptor.h"
#include "core/cuda_check.h"
#include "engine/device_buffer.h"

namespace {

constexpr uint64_t kCoordBufferElements =
    static_cast<uint64_t>(kCoordDumpStride) * kCoordDumpMaxThreads;

}  // namespace

int default_coord_dump_threads(const std::string& row_name) {
  if (row_name == "ada_sm89" || row_name == "hopper_sm90" || row_name == "blackwell_sm120" ||
      row_name == "blackwell_native_sm120") {
    return 256;
  }
  return 128;
}

int coord_dump_threads(const std::string& row_name, const CoordDumpMetadata& metadata) {
  if (metadata.values_per_thread > static_cast<uint32_t>(kCoordDumpStride)) {
    throw std::runtime_error("dump_headless_coords returned invalid values_per_thread=" +
                             std::to_string(metadata.values_per_thread) + " for backend " +
                             row_name + " (max supported by host dump is " +
                             std::to_string(kCoordDumpStride) + ")");
  }
  if (metadata.thread_count > kCoordDumpMaxThreads) {
    throw std::runtime_error("dump_headless_coords returned invalid thread count=" +
                             std::to_string(metadata.thread_count) + " for backend " + row_name +
                             " (max supported by host dump is " +
                             std::to_string(kCoordDumpMaxThreads) + ")");
  }
  if (metadata.thread_count >= 1) return metadata.thread_count;
  return default_coord_dump_threads(row_name);
}

uint32_t coord_candidate_id(uint16_t row, uint16_t col) {
  return ((static_cast<uint32_t>(row) / 64) + (static_cast<uint32_t>(col) / 64) * 2) * 32 +
         (static_cast<uint32_t>(row) % 32);
}

void write_coord_dump_report(std::ostream& out, const std::string& row_name, int threads,
                             uint32_t values_per_thread, const std::vector<uint16_t>& rows,
                             const std::vector<uint16_t>& cols) {
  const uint32_t v = values_per_thread;
  auto at = [](int thread, uint32_t value) {
    return static_cast<size_t>(thread) * kCoordDumpStride + value;
  };
  out << "backend=" << row_name << " threads=" << threads << " values_per_thread=" << v << "\n";
  for (int warp = 0; warp < threads / 32; ++warp) {
    std::set<std::pair<uint16_t, uint16_t>> pairs;
    size_t max_candidates = 0;
    for (int t = warp * 32; t < warp * 32 + 32; ++t) {
      std::set<uint32_t> candidates;
      for (uint32_t value = 0; value < v; ++value) {
        const uint16_t r = rows[at(t, value)];
        const uint16_t c = cols[at(t, value)];
        pairs.insert({r, c});
        candidates.insert(coord_candidate_id(r, c));
      }
      max_candidates = std::max(max_candidates, candidates.size());
    }
    out << "warp=" << warp << " coords=" << pairs.size();
    if (!pairs.empty()) {
      out << " first=" << pairs.begin()->first << "," << pairs.begin()->second
          << " last=" << pairs.rbegin()->first << "," << pairs.rbegin()->second;
    }
    out << " max_unique_candidates_per_thread=" << max_candidates << "\n";
  }
  const uint32_t listed = std::min<uint32_t>(v, 64);
  for (int t = 0; t < std::min(threads, 8); ++t) {
    out << "thread=" << t;
    for (uint32_t value = 0; value < listed; ++value) {
      out << " (" << rows[at(t, value)] << "," << cols[at(t, value)] << ")";
    }
    if (v > 64) out << " ...";
    out << "\n";
  }
}

void run_coord_dump(const GpuBackendDescriptor& row) {
  const std::string name = row.name;
  OwnedDeviceBuffer<uint16_t> rows(allocate_device_buffer<uint16_t>(kCoordBufferElements, "cudaMalloc"));
  OwnedDeviceBuffer<uint16_t> cols(allocate_device_buffer<uint16_t>(kCoordBufferElements, "cudaMalloc"));
  OwnedDeviceBuffer<int32_t> metadata(allocate_device_buffer<int32_t>(2, "cudaMalloc"));
  check_cuda(cudaMemset(metadata.data(), 0, sizeof(CoordDumpMetadata)), "clear coord metadata");
  const cudaError_t launched =
      row.launch_dump_headless_coords
          ? row.launch_dump_headless_coords(rows.data(), cols.data(), metadata.data(), nullptr)
          : cudaErrorInvalidValue;
  check_cuda(launched, "dump_headless_coords");
  check_cuda(cudaDeviceSynchronize(), "dump coords synchronize");

  CoordDumpMetadata meta{};
  check_cuda(cudaMemcpy(&meta, metadata.data(), sizeof(meta), cudaMemcpyDeviceToHost),
             "copy values_per_thread");
  const int threads = coord_dump_threads(name, meta);
  const size_t elements = static_cast<size_t>(threads) * kCoordDumpStride;
  std::vector<uint16_t> host_rows(elements);
  std::vector<uint16_t> host_cols(elements);
  check_cuda(cudaMemcpy(host_rows.data(), rows.data(), elements * sizeof(uint16_t),
                        cudaMemcpyDeviceToHost),
             "copy coord rows");
  check_cuda(cudaMemcpy(host_cols.data(), cols.data(), elements * sizeof(uint16_t),
                        cudaMemcpyDeviceToHost),
             "copy coord cols");
  write_coord_dump_report(std::cout, name, threads, meta.values_per_thread, host_rows, host_cols);
  std::cout.flush();
}
