#pragma once
#include <chrono>

// Seconds between two steady-clock readings, from their nanosecond difference.
inline double steady_seconds(std::chrono::steady_clock::time_point from,
                             std::chrono::steady_clock::time_point to) {
  return static_cast<double>(
             std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count()) /
         1e9;
}
