// The Hopper backend: mining through the library's warp-specialised int8
// product, the noise-and-mine slots (sparse noise from the blackwell unit)
// and the coordinate dump of the product's candidate layout.
#include "backends/hopper_mining_kernel.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <set>

#include "backends/blackwell_mining_kernel.h"
#include "backends/headless_common.h"
#include "gemm/hopper_gemm_host.h"
#include "tensor_hash/blake3_constants.h"

namespace vexal_hopper {

// The cells of each candidate thread, in its transcript's value order.
__global__ void dump_headless_coords_kernel(uint16_t* rows, uint16_t* cols, int* meta) {
  using vexal::hopper_detail::candidate_position;
  using vexal::hopper_detail::kValuesPerThread;
  const int thread = static_cast<int>(threadIdx.x);
  for (int v = 0; v < kValuesPerThread; ++v) {
    const TilePosition at = candidate_position(thread, v);
    rows[thread * 256 + v] = at.row;
    cols[thread * 256 + v] = at.col;
  }
  if (thread == 0) {
    meta[0] = kValuesPerThread;
    meta[1] = static_cast<int>(blockDim.x);
  }
}

namespace {

// Devices that have made their first mining launch in this process.
std::mutex launched_devices_mutex;
std::set<int>& launched_devices() {
  static std::set<int> devices;
  return devices;
}

void sleep_ms(int64_t delay_ms) {
  timespec remaining{static_cast<time_t>(delay_ms / 1000),
                     static_cast<long>((delay_ms % 1000) * 1000000)};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

// Devices start their first product at staggered times, device 0 at once.
void stagger_first_launch() {
  int device = -1;
  cudaGetDevice(&device);
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(launched_devices_mutex);
    first = launched_devices().insert(device).second;
  }
  if (!first) return;
  const int64_t delay = first_launch_stagger_ms(device);
  if (delay > 0) sleep_ms(delay);
}

bool mining_arguments_valid(const int8_t* a, const int8_t* b, int m, int n, int k, int rank,
                            HostSignalHeader* header, HostSignalSync* sync,
                            const uint32_t* target, const uint32_t* seed) {
  if (!a || !b || !header || !sync || !target || !seed) return false;
  if (m <= 0 || n <= 0 || k <= 0 || rank <= 0) return false;
  return m % 128 == 0 && k % 128 == 0 && rank % 128 == 0 && n % 256 == 0;
}

cudaError_t noise_both_operands(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                const int8_t* b_left, const int8_t* a_right, const int8_t* b_right,
                                int8_t* noised_a, int8_t* noised_b, int16_t* a_index0,
                                int16_t* a_index1, int16_t* b_index0, int16_t* b_index1, int m,
                                int n, int k, int rank, cudaStream_t stream) {
  const cudaError_t noised_a_result = vexal_blackwell::launch_apply_sparse_noise(
      a, a_left, a_right, noised_a, a_index0, a_index1, m, k, rank, stream);
  if (noised_a_result != cudaSuccess) return noised_a_result;
  return vexal_blackwell::launch_apply_sparse_noise(b, b_left, b_right, noised_b, b_index0,
                                                    b_index1, n, k, rank, stream);
}

}  // namespace

int64_t first_launch_stagger_ms(int device) {
  if (device <= 0) return 0;
  int per_device = 1500;
  if (const char* text = std::getenv("VEXAL_HOPPER_LAUNCH_STAGGER_MS")) {
    per_device = static_cast<int>(std::strtol(text, nullptr, 10));
  }
  if (per_device <= 0) return 0;
  return static_cast<int64_t>(device) * per_device;
}

cudaError_t launch_hopper_mine(const int8_t* a, const int8_t* b, int m, int n, int k,
                               HostSignalHeader* header, HostSignalSync* sync,
                               const uint32_t* target, const uint32_t* seed, int rank,
                               cudaStream_t stream) {
  if (!mining_arguments_valid(a, b, m, n, k, rank, header, sync, target, seed)) {
    return cudaErrorInvalidValue;
  }
  vexal::HopperGemmArgs args{};
  args.a = a;
  args.b = b;
  args.signal_header = header;
  args.signal_sync = sync;
  args.m = m;
  args.n = n;
  args.k = k;
  args.rank = rank;
  args.group_size = 1;
  args.group_along_n = true;
  args.target = target;
  args.seed = seed;
  stagger_first_launch();
  const bool m_full = m % 128 == 0;
  const bool n_full = n % 256 == 0;
  if (m_full && n_full) {
    vexal::run_hopper_gemm<true, true>(args, stream);
  } else if (m_full) {
    vexal::run_hopper_gemm<true, false>(args, stream);
  } else if (n_full) {
    vexal::run_hopper_gemm<false, true>(args, stream);
  } else {
    vexal::run_hopper_gemm<false, false>(args, stream);
  }
  return cudaGetLastError();
}

cudaError_t launch_noise_and_mine(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                  const int8_t* b_left, const int8_t* a_right,
                                  const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                  int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                  int16_t* b_index1, int m, int n, int k, int rank,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed,
                                  uint32_t* /*extra*/, cudaStream_t stream) {
  const cudaError_t noised =
      noise_both_operands(a, b, a_left, b_left, a_right, b_right, noised_a, noised_b, a_index0,
                          a_index1, b_index0, b_index1, m, n, k, rank, stream);
  if (noised != cudaSuccess) return noised;
  return launch_hopper_mine(noised_a, noised_b, m, n, k, header, sync, target, seed, rank, stream);
}

// This row writes no jackpot dump: the dump arguments are not used.
cudaError_t launch_noise_and_mine_dump(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                       const int8_t* b_left, const int8_t* a_right,
                                       const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                       int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                       int16_t* b_index1, int m, int n, int k, int rank,
                                       HostSignalHeader* header, HostSignalSync* sync,
                                       const uint32_t* target, const uint32_t* seed,
                                       VexalHeadlessJackpotDumpEntry* /*entries*/,
                                       int32_t* /*values*/, uint32_t* /*value_counts*/,
                                       int /*capacity*/, cudaStream_t stream) {
  return launch_noise_and_mine(a, b, a_left, b_left, a_right, b_right, noised_a, noised_b,
                               a_index0, a_index1, b_index0, b_index1, m, n, k, rank, header,
                               sync, target, seed, nullptr, stream);
}

cudaError_t launch_dump_headless_coords(uint16_t* rows, uint16_t* cols, int32_t* meta,
                                        cudaStream_t stream) {
  launch_kernel(dump_headless_coords_kernel, dim3(1, 1, 1), dim3(256, 1, 1), 0, stream, rows,
                cols, meta);
  return cudaGetLastError();
}

uint64_t signal_header_bytes() { return headless_slots::signal_header_bytes(); }
uint64_t signal_sync_bytes() { return headless_slots::signal_sync_bytes(); }

}  // namespace vexal_hopper
