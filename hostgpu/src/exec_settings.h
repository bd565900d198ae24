#pragma once
// How hostile the executor is, read from the environment at each grid launch:
// the resume order of fibers after every rendezvous (HOSTGPU_SCHEDULE), the
// poison of fresh shared memory and in-flight copies (HOSTGPU_POISON), copies
// that land only at their completion point (HOSTGPU_LATE_COPIES), and all of
// them at once from one seed (HOSTGPU_HOSTILE). A shuffled schedule prints its
// seed on standard error once, so that a failing run can be replayed.
//
// The freedoms a GPU takes beyond those, each with its own switch ("1" turns
// it on; under HOSTGPU_HOSTILE every one is on unless its switch is "0"):
//   HOSTGPU_LATE_ARRIVALS  mbarrier arrivals of commits and remote arrives
//                          land at a point the schedule chooses
//   HOSTGPU_RESIDENT       as many clusters resident together as the SMs admit
//                          (up to kMaxResidentClusters; lone blocks up to
//                          kMaxResidentLoneBlocks, and only a grid's first
//                          kInterleavedLoneBlocks), interleaved
//   HOSTGPU_STAGGER        the blocks of a cluster start at different times
//   HOSTGPU_RUN_AHEAD      released threads sometimes go to the front of the
//                          queue, so a warp runs ahead of its block, now and
//                          then through several of its own collectives
//   HOSTGPU_YIELDS         arrivals, atomics, fences and mbarrier tests may
//                          give the turn away
//   HOSTGPU_EARLY_COPIES   with late copies, some copies land at issue anyway
//   HOSTGPU_LATE_MMA       tensor-core MMAs complete only at their commit's
//                          arrival or the wgmma.wait_group that retires them
//   HOSTGPU_LATE_TMEM      tensor-memory loads and stores complete only at
//                          tcgen05.wait::ld and wait::st
// and one that is never part of the hostile set:
//   HOSTGPU_STRICT_TENSOR_MEMORY  a tcgen05.alloc that would wait fails at once
#include <cstdint>
#include <string>

#include "hostgpu/device_cluster.h"  // poison_byte

namespace hostgpu::detail {

enum class ScheduleKind : unsigned char { ordered, reverse, shuffle };

// Clusters, and lone blocks, resident together at most, per launch.
constexpr unsigned kMaxResidentClusters = 4;
constexpr unsigned kMaxResidentLoneBlocks = 2;
// Lone blocks of a grid that may be interleaved; the rest run one at a time.
constexpr uint64_t kInterleavedLoneBlocks = 16;

struct ExecutionSettings {
  ScheduleKind schedule = ScheduleKind::ordered;
  uint64_t seed = 0;
  bool poison = false;
  bool late_copies = false;
  bool late_arrivals = false;
  bool resident = false;
  bool stagger = false;
  bool run_ahead = false;
  bool yields = false;
  bool early_copies = false;
  bool late_mma = false;
  bool late_tensor_memory = false;
  bool strict_tensor_memory = false;
  // Test-only (HOSTGPU_BF16_ADDER_BITS): a narrowed adder for the bf16
  // tensor-core MMA that keeps only this many bits below the largest term it
  // adds; 0 adds as exactly as f32 rounding allows.
  int bf16_adder_bits = 0;
};

// Reads the variables; a malformed value is an error naming the variable.
ExecutionSettings read_execution_settings();

// Parses one HOSTGPU_SCHEDULE value; false when malformed.
bool parse_schedule(const std::string& text, ScheduleKind* kind, uint64_t* seed);

}  // namespace hostgpu::detail
