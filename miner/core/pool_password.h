#pragma once
#include <cstdint>
#include <string>

// The pool password when none is configured.
inline constexpr char kDefaultPoolPassword[] = "x";

// The password of the device at `index` of `count`: every "d=" item holding a
// comma-separated list is narrowed to that device's entry. Throws CliUsageError
// when a list does not have exactly one entry per device.
std::string password_for_device(const std::string& password, int32_t index, uint32_t count);

// The default password carrying only a difficulty: "x;d=<difficulty>".
std::string difficulty_password(uint32_t difficulty);
