#pragma once
// The Volta backend's slot operations (row "volta_sm70").
#include "backends/explicit_mining_slots.h"

namespace vexal_volta {

struct Dp4aArithmetic;  // defined, and its Slots instantiated, in the unit
using Slots = explicit_mining::Slots<Dp4aArithmetic>;

}  // namespace vexal_volta

extern template struct explicit_mining::Slots<vexal_volta::Dp4aArithmetic>;
