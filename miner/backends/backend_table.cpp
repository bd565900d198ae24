// The backend rows, their selection and the CMP 170HX device test.
#include <cstring>
#include <stdexcept>
#include <string>

#include "backends/ada_mining_kernel.h"
#include "backends/ampere_mining_kernel.h"
#include "backends/backend_descriptor.h"
#include "backends/blackwell_b200_mining_kernel.h"
#include "backends/blackwell_b300_mining_kernel.h"
#include "backends/blackwell_mining_kernel.h"
#include "backends/blackwell_native_mining_kernel.h"
#include "backends/cmp170hx_dp2a_mining_kernel.h"
#include "backends/cmp170hx_mining_kernel.h"
#include "backends/cmp170hx_scalar_mining_kernel.h"
#include "backends/hopper_mining_kernel.h"
#include "backends/turing_mining_kernel.h"
#include "backends/volta_mining_kernel.h"
#include "core/config.h"

namespace {

// Rows whose operations have not been built into this program yet hold null
// slots; the mining engine refuses such a row by name before using it.
constexpr GpuBackendDescriptor kVolta{
    "volta_sm70",
    vexal_volta::Slots::launch_fill_int8,
    vexal_volta::Slots::launch_generate_noise,
    nullptr,
    nullptr,
    vexal_volta::Slots::launch_noise_and_mine,
    vexal_volta::Slots::launch_noise_and_mine_dump,
    vexal_volta::Slots::launch_dump_headless_coords,
    vexal_volta::Slots::launch_debug_gemm_tile,
    vexal_volta::Slots::signal_header_bytes,
    vexal_volta::Slots::signal_sync_bytes,
    nullptr,
    nullptr,
    nullptr,
    nullptr};
namespace turing_sm75 {
// Slots 4 and 5: the turing launches take no extra, so it is dropped.
cudaError_t headless_mine_adapter(const int8_t* a, const int8_t* b, int m, int n, int k,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed, int rank,
                                  uint32_t* /*extra*/, cudaStream_t stream) {
  return vexal_turing::launch_headless_mine(a, b, m, n, k, header, sync, target, seed, rank,
                                            stream);
}
cudaError_t noise_and_mine_adapter(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                   const int8_t* b_left, const int8_t* a_right,
                                   const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                   int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                   int16_t* b_index1, int m, int n, int k, int rank,
                                   HostSignalHeader* header, HostSignalSync* sync,
                                   const uint32_t* target, const uint32_t* seed,
                                   uint32_t* /*extra*/, cudaStream_t stream) {
  return vexal_turing::launch_noise_and_mine(a, b, a_left, b_left, a_right, b_right, noised_a,
                                             noised_b, a_index0, a_index1, b_index0, b_index1, m,
                                             n, k, rank, header, sync, target, seed, stream);
}
}  // namespace turing_sm75
constexpr GpuBackendDescriptor kTuring{
    "turing_sm75",
    vexal_turing::launch_fill_int8,
    vexal_turing::launch_generate_noise,
    vexal_turing::launch_apply_sparse_noise,
    turing_sm75::headless_mine_adapter,
    turing_sm75::noise_and_mine_adapter,
    vexal_turing::launch_noise_and_mine_dump,
    vexal_turing::launch_dump_headless_coords,
    vexal_turing::launch_debug_gemm_tile,
    vexal_turing::signal_header_bytes,
    vexal_turing::signal_sync_bytes,
    vexal_turing::tile_m,
    vexal_turing::tile_n,
    vexal_turing::tile_k,
    nullptr};
namespace ampere_sm8x {
// Slots 4 and 5: the ampere launches take no extra, so it is dropped.
cudaError_t headless_mine_adapter(const int8_t* a, const int8_t* b, int m, int n, int k,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed, int rank,
                                  uint32_t* /*extra*/, cudaStream_t stream) {
  return vexal_ampere::launch_headless_mine(a, b, m, n, k, header, sync, target, seed, rank,
                                            stream);
}
cudaError_t noise_and_mine_adapter(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                   const int8_t* b_left, const int8_t* a_right,
                                   const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                   int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                   int16_t* b_index1, int m, int n, int k, int rank,
                                   HostSignalHeader* header, HostSignalSync* sync,
                                   const uint32_t* target, const uint32_t* seed,
                                   uint32_t* /*extra*/, cudaStream_t stream) {
  return vexal_ampere::launch_noise_and_mine(a, b, a_left, b_left, a_right, b_right, noised_a,
                                             noised_b, a_index0, a_index1, b_index0, b_index1, m,
                                             n, k, rank, header, sync, target, seed, stream);
}
}  // namespace ampere_sm8x
constexpr GpuBackendDescriptor kAmpere{
    "ampere_sm8x",
    vexal_ampere::launch_fill_int8,
    vexal_ampere::launch_generate_noise,
    vexal_ampere::launch_apply_sparse_noise,
    ampere_sm8x::headless_mine_adapter,
    ampere_sm8x::noise_and_mine_adapter,
    vexal_ampere::launch_noise_and_mine_dump,
    vexal_ampere::launch_dump_headless_coords,
    vexal_ampere::launch_debug_gemm_tile,
    vexal_ampere::signal_header_bytes,
    vexal_ampere::signal_sync_bytes,
    nullptr,
    nullptr,
    nullptr,
    nullptr};
namespace cmp170hx_sm80 {
// Slot 5: the CMP 170HX tensor-core launch takes no extra, so it is dropped.
cudaError_t noise_and_mine_adapter(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                   const int8_t* b_left, const int8_t* a_right,
                                   const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                   int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                   int16_t* b_index1, int m, int n, int k, int rank,
                                   HostSignalHeader* header, HostSignalSync* sync,
                                   const uint32_t* target, const uint32_t* seed,
                                   uint32_t* /*extra*/, cudaStream_t stream) {
  return vexal_cmp170hx::launch_noise_and_mine(a, b, a_left, b_left, a_right, b_right, noised_a,
                                               noised_b, a_index0, a_index1, b_index0, b_index1,
                                               m, n, k, rank, header, sync, target, seed, stream);
}
}  // namespace cmp170hx_sm80
constexpr GpuBackendDescriptor kCmp170hx{
    "cmp170hx_sm80",
    vexal_cmp170hx::launch_fill_int8,
    vexal_cmp170hx::launch_generate_noise,
    nullptr,
    nullptr,
    cmp170hx_sm80::noise_and_mine_adapter,
    vexal_cmp170hx::launch_noise_and_mine_dump,
    vexal_cmp170hx::launch_dump_headless_coords,
    vexal_cmp170hx::launch_debug_gemm_tile,
    vexal_cmp170hx::signal_header_bytes,
    vexal_cmp170hx::signal_sync_bytes,
    nullptr,
    nullptr,
    nullptr,
    nullptr};
constexpr GpuBackendDescriptor kCmp170hxDp2a{
    "cmp170hx_dp2a_int",
    vexal_cmp170hx_dp2a::Slots::launch_fill_int8,
    vexal_cmp170hx_dp2a::Slots::launch_generate_noise,
    nullptr,
    nullptr,
    vexal_cmp170hx_dp2a::Slots::launch_noise_and_mine,
    vexal_cmp170hx_dp2a::Slots::launch_noise_and_mine_dump,
    vexal_cmp170hx_dp2a::Slots::launch_dump_headless_coords,
    vexal_cmp170hx_dp2a::Slots::launch_debug_gemm_tile,
    vexal_cmp170hx_dp2a::Slots::signal_header_bytes,
    vexal_cmp170hx_dp2a::Slots::signal_sync_bytes,
    nullptr,
    nullptr,
    nullptr,
    nullptr};
constexpr GpuBackendDescriptor kCmp170hxScalar{
    "cmp170hx_scalar_int",
    vexal_cmp170hx_scalar::Slots::launch_fill_int8,
    vexal_cmp170hx_scalar::Slots::launch_generate_noise,
    nullptr,
    nullptr,
    vexal_cmp170hx_scalar::Slots::launch_noise_and_mine,
    vexal_cmp170hx_scalar::Slots::launch_noise_and_mine_dump,
    vexal_cmp170hx_scalar::Slots::launch_dump_headless_coords,
    vexal_cmp170hx_scalar::Slots::launch_debug_gemm_tile,
    vexal_cmp170hx_scalar::Slots::signal_header_bytes,
    vexal_cmp170hx_scalar::Slots::signal_sync_bytes,
    nullptr,
    nullptr,
    nullptr,
    nullptr};
namespace ada_sm89 {
// Slot 4: the ada mining launch takes extra, so it is passed on unchanged.
cudaError_t headless_mine_adapter(const int8_t* a, const int8_t* b, int m, int n, int k,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed, int rank,
                                  uint32_t* extra, cudaStream_t stream) {
  return vexal_ada::launch_headless_mine(a, b, m, n, k, header, sync, target, seed, rank, extra,
                                         stream);
}
}  // namespace ada_sm89
constexpr GpuBackendDescriptor kAda{
    "ada_sm89",
    vexal_ada::launch_fill_int8,
    vexal_ada::launch_generate_noise,
    vexal_ada::launch_apply_sparse_noise,
    ada_sm89::headless_mine_adapter,
    vexal_ada::launch_noise_and_mine,
    vexal_ada::launch_noise_and_mine_dump,
    vexal_ada::launch_dump_headless_coords,
    vexal_ada::launch_debug_gemm_tile,
    vexal_ada::signal_header_bytes,
    vexal_ada::signal_sync_bytes,
    nullptr,
    nullptr,
    nullptr,
    nullptr};
namespace hopper_sm90 {
// Slot 4: the hopper launch takes no extra, so it is dropped.
cudaError_t headless_mine_adapter(const int8_t* a, const int8_t* b, int m, int n, int k,
                                  HostSignalHeader* header, HostSignalSync* sync,
                                  const uint32_t* target, const uint32_t* seed, int rank,
                                  uint32_t* /*extra*/, cudaStream_t stream) {
  return vexal_hopper::launch_hopper_mine(a, b, m, n, k, header, sync, target, seed, rank, stream);
}
}  // namespace hopper_sm90
// Slots 1 to 3 and 8 from the blackwell unit; the others come with the hopper unit.
constexpr GpuBackendDescriptor kHopper{
    "hopper_sm90",
    vexal_blackwell::launch_fill_int8,
    vexal_blackwell::launch_generate_noise,
    vexal_blackwell::launch_apply_sparse_noise,
    hopper_sm90::headless_mine_adapter,
    vexal_hopper::launch_noise_and_mine,
    vexal_hopper::launch_noise_and_mine_dump,
    vexal_hopper::launch_dump_headless_coords,
    vexal_blackwell::launch_debug_gemm_tile,
    vexal_hopper::signal_header_bytes,
    vexal_hopper::signal_sync_bytes,
    nullptr,
    nullptr,
    nullptr,
    nullptr};
namespace blackwell_sm120 {
// Slot 5: the blackwell launch takes extra, so it is passed on unchanged.
cudaError_t noise_and_mine_adapter(const int8_t* a, const int8_t* b, const int8_t* a_left,
                                   const int8_t* b_left, const int8_t* a_right,
                                   const int8_t* b_right, int8_t* noised_a, int8_t* noised_b,
                                   int16_t* a_index0, int16_t* a_index1, int16_t* b_index0,
                                   int16_t* b_index1, int m, int n, int k, int rank,
                                   HostSignalHeader* header, HostSignalSync* sync,
                                   const uint32_t* target, const uint32_t* seed, uint32_t* extra,
                                   cudaStream_t stream) {
  return vexal_blackwell::launch_noise_and_mine(a, b, a_left, b_left, a_right, b_right, noised_a,
                                                noised_b, a_index0, a_index1, b_index0, b_index1,
                                                m, n, k, rank, header, sync, target, seed, extra,
                                                stream);
}
}  // namespace blackwell_sm120
constexpr GpuBackendDescriptor kBlackwell{
    "blackwell_sm120",
    vexal_blackwell::launch_fill_int8,
    vexal_blackwell::launch_generate_noise,
    nullptr,
    nullptr,
    blackwell_sm120::noise_and_mine_adapter,
    vexal_blackwell::launch_noise_and_mine_dump,
    vexal_blackwell::launch_dump_headless_coords,
    vexal_blackwell::launch_debug_gemm_tile,
    vexal_blackwell::signal_header_bytes,
    vexal_blackwell::signal_sync_bytes,
    nullptr,
    nullptr,
    nullptr,
    nullptr};
constexpr GpuBackendDescriptor kBlackwellNative{
    "blackwell_native_sm120",
    vexal_blackwell_native_impl::launch_fill_int8,
    vexal_blackwell_native_impl::launch_generate_noise,
    vexal_blackwell_native_impl::launch_apply_sparse_noise,
    vexal_blackwell_native_impl::launch_headless_mine,
    vexal_blackwell_native_impl::launch_noise_and_mine,
    vexal_blackwell_native_impl::launch_noise_and_mine_dump,
    vexal_blackwell_native_impl::launch_dump_headless_coords,
    vexal_blackwell_native_impl::launch_debug_gemm_tile,
    vexal_blackwell_native_impl::signal_header_bytes,
    vexal_blackwell_native_impl::signal_sync_bytes,
    vexal_blackwell_native_impl::tile_m,
    vexal_blackwell_native_impl::tile_n,
    vexal_blackwell_native_impl::tile_k,
    vexal_blackwell_native_impl::warp_tile_n};
// Mining (slots 4 and 5) from the B200 unit, every other slot from the native unit.
constexpr GpuBackendDescriptor kBlackwellB200{
    "blackwell_b200_sm100",
    vexal_blackwell_native_impl::launch_fill_int8,
    vexal_blackwell_native_impl::launch_generate_noise,
    vexal_blackwell_native_impl::launch_apply_sparse_noise,
    vexal_blackwell_b200::launch_headless_mine,
    vexal_blackwell_b200::launch_noise_and_mine,
    vexal_blackwell_native_impl::launch_noise_and_mine_dump,
    vexal_blackwell_native_impl::launch_dump_headless_coords,
    vexal_blackwell_native_impl::launch_debug_gemm_tile,
    vexal_blackwell_native_impl::signal_header_bytes,
    vexal_blackwell_native_impl::signal_sync_bytes,
    vexal_blackwell_native_impl::tile_m,
    vexal_blackwell_native_impl::tile_n,
    vexal_blackwell_native_impl::tile_k,
    vexal_blackwell_native_impl::warp_tile_n};
// Mining (slots 4 and 5) from the B300 unit, every other slot from the native unit.
constexpr GpuBackendDescriptor kBlackwellB300{
    "blackwell_b300_sm103",
    vexal_blackwell_native_impl::launch_fill_int8,
    vexal_blackwell_native_impl::launch_generate_noise,
    vexal_blackwell_native_impl::launch_apply_sparse_noise,
    vexal_blackwell_b300::launch_headless_mine,
    vexal_blackwell_b300::launch_noise_and_mine,
    vexal_blackwell_native_impl::launch_noise_and_mine_dump,
    vexal_blackwell_native_impl::launch_dump_headless_coords,
    vexal_blackwell_native_impl::launch_debug_gemm_tile,
    vexal_blackwell_native_impl::signal_header_bytes,
    vexal_blackwell_native_impl::signal_sync_bytes,
    vexal_blackwell_native_impl::tile_m,
    vexal_blackwell_native_impl::tile_n,
    vexal_blackwell_native_impl::tile_k,
    vexal_blackwell_native_impl::warp_tile_n};

struct ForceName {
  const char* name;
  const GpuBackendDescriptor* row;
};

// In the order in which a forced name is compared.
constexpr ForceName kForceNames[] = {
    {"volta", &kVolta},
    {"turing", &kTuring},
    {"ampere", &kAmpere},
    {"cmp170hx", &kCmp170hx},
    {"cmp170hx-dp2a", &kCmp170hxDp2a},
    {"cmp170hx-scalar", &kCmp170hxScalar},
    {"ada", &kAda},
    {"blackwell", &kBlackwell},
    {"hopper", &kHopper},
    {"blackwell-native", &kBlackwellNative},
    {"blackwell-b200", &kBlackwellB200},
    {"blackwell_b200_sm100", &kBlackwellB200},
    {"blackwell-b300", &kBlackwellB300},
    {"blackwell_b300_sm103", &kBlackwellB300},
};

}  // namespace

bool is_cmp170hx_device(const cudaDeviceProp& prop) {
  const std::string name(prop.name, strnlen(prop.name, sizeof(prop.name)));
  if (name.find("170HX") != std::string::npos) return true;
  if (name.find("CMP") != std::string::npos) return true;
  if (name.find("NVIDIA Graphics Device") != std::string::npos) {
    const double gib = static_cast<double>(prop.totalGlobalMem) / (1024.0 * 1024.0 * 1024.0);
    return gib >= 7.0 && gib <= 12.0;
  }
  return false;
}

const GpuBackendDescriptor& select_backend(const Config& config, const cudaDeviceProp& prop) {
  const std::string& forced = config.force_backend;
  if (!forced.empty()) {
    for (const ForceName& entry : kForceNames) {
      if (forced == entry.name) return *entry.row;
    }
    throw std::runtime_error(
        "HEADLESS_MINER_FORCE_BACKEND/--force-backend must be volta, turing, ampere, cmp170hx, "
        "cmp170hx-dp2a, cmp170hx-scalar, ada, hopper, blackwell, blackwell-native, "
        "blackwell-b200, or blackwell-b300");
  }
  const int major = prop.major;
  const int minor = prop.minor;
  if (major == 7 && minor == 0) return kVolta;
  if (major == 7 && minor == 5) return kTuring;
  if (major == 10) return minor <= 2 ? kBlackwellB200 : kBlackwellB300;
  if (major == 12) return kBlackwellNative;
  if (major == 9) return kHopper;
  if (major == 8 && minor > 8) return kAda;
  if (major == 8 && minor == 0 && prop.multiProcessorCount == 70 && is_cmp170hx_device(prop)) {
    return kCmp170hx;
  }
  return kAmpere;
}
