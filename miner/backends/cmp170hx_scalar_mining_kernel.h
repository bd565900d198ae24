#pragma once
// The CMP 170HX scalar backend's slot operations (row "cmp170hx_scalar_int").
#include "backends/explicit_mining_slots.h"

namespace vexal_cmp170hx_scalar {

struct ScalarArithmetic;  // defined, and its Slots instantiated, in the unit
using Slots = explicit_mining::Slots<ScalarArithmetic>;

inline constexpr auto& launch_fill_int8 = Slots::launch_fill_int8;
inline constexpr auto& launch_generate_noise = Slots::launch_generate_noise;
inline constexpr auto& launch_noise_and_mine = Slots::launch_noise_and_mine;
inline constexpr auto& launch_noise_and_mine_dump = Slots::launch_noise_and_mine_dump;
inline constexpr auto& launch_dump_headless_coords = Slots::launch_dump_headless_coords;
inline constexpr auto& launch_debug_gemm_tile = Slots::launch_debug_gemm_tile;
inline constexpr auto& signal_header_bytes = Slots::signal_header_bytes;
inline constexpr auto& signal_sync_bytes = Slots::signal_sync_bytes;

}  // namespace vexal_cmp170hx_scalar

extern template struct explicit_mining::Slots<vexal_cmp170hx_scalar::ScalarArithmetic>;
