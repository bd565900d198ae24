#pragma once
// The CMP 170HX scalar backend's slot operations (row "cmp170hx_scalar_int").
#include "backends/explicit_mining_slots.h"

namespace vexal_cmp170hx_scalar {

struct ScalarArithmetic;  // defined, and its Slots instantiated, in the unit
using Slots = explicit_mining::Slots<ScalarArithmetic>;

}  // namespace vexal_cmp170hx_scalar

extern template struct explicit_mining::Slots<vexal_cmp170hx_scalar::ScalarArithmetic>;
