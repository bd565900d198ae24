#pragma once
// How hostile the executor is, read from the environment at each grid launch:
// the resume order of fibers after every rendezvous (HOSTGPU_SCHEDULE), the
// poison of fresh shared memory and in-flight copies (HOSTGPU_POISON), copies
// that land only at their completion point (HOSTGPU_LATE_COPIES), tensor-core
// MMAs that complete only at their commit's arrival or their wait_group
// (HOSTGPU_LATE_MMA), tensor-memory loads and stores that complete only at
// their waits (HOSTGPU_LATE_TMEM), and all of them at once from one seed
// (HOSTGPU_HOSTILE). A shuffled schedule prints its
// seed on standard error once, so that a failing run can be replayed.
#include <cstdint>
#include <string>

#include "hostgpu/device_cluster.h"  // poison_byte

namespace hostgpu::detail {

enum class ScheduleKind : unsigned char { ordered, reverse, shuffle };

struct ExecutionSettings {
  ScheduleKind schedule = ScheduleKind::ordered;
  uint64_t seed = 0;
  bool poison = false;
  bool late_copies = false;
  bool late_mma = false;
  bool late_tensor_memory = false;
};

// Reads the variables; a malformed value is an error naming the variable.
ExecutionSettings read_execution_settings();

// Parses one HOSTGPU_SCHEDULE value; false when malformed.
bool parse_schedule(const std::string& text, ScheduleKind* kind, uint64_t* seed);

}  // namespace hostgpu::detail
