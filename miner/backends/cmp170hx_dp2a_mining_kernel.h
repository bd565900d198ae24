#pragma once
// The CMP 170HX dp2a backend's slot operations (row "cmp170hx_dp2a_int").
#include "backends/explicit_mining_slots.h"

namespace vexal_cmp170hx_dp2a {

struct Dp2aArithmetic;  // defined, and its Slots instantiated, in the unit
using Slots = explicit_mining::Slots<Dp2aArithmetic>;

}  // namespace vexal_cmp170hx_dp2a

extern template struct explicit_mining::Slots<vexal_cmp170hx_dp2a::Dp2aArithmetic>;
