#pragma once
// Per-device identity of a mining thread: its matrix seed and its pool login.
#include <cstdint>
#include <string>

// SplitMix64's finaliser.
uint64_t mix64(uint64_t x);

// A fresh 64-bit seed mixed from the random device, the wall clock, the
// process and the device's place in the run; never 0.
uint64_t derive_matrix_seed(int device, int worker_index, int worker_count);

// "{device}" and "{index}" replaced by the device ordinal and worker index, or
// ".gpu<device>" appended when the login has neither.
std::string expand_worker_name(const std::string& login, int device, int worker_index);
