#pragma once
#include <cstdint>
#include <string>
#include <string_view>

enum class LogLevel : int { Debug = 0, Info = 1, Warn = 2, Error = 3 };

// How the log writer decides on ANSI colour: Auto colours only a terminal
// (and never when NO_COLOR is set).
enum class ColorMode : int { Auto = 0, Always = 1, Never = 2 };

// Process-wide settings, copied from the Config once at start-up before any
// other thread exists; read without a lock afterwards.
extern bool log_debug_enabled;
extern ColorMode log_color_mode;

// The GPU label of the calling thread's log lines; "system" until the thread
// sets its own.
extern thread_local std::string thread_gpu_label;

// Writes one whole line under the log mutex and flushes it, so nothing is lost
// when the process is killed. DEBUG and INFO go to stdout, WARN and ERROR to
// stderr; an empty gpu_label means thread_gpu_label.
void log_line(LogLevel level, std::string_view component, const std::string& message,
              std::string_view gpu_label = {});
void log_info(std::string_view component, const std::string& message,
              std::string_view gpu_label = {});

// UTC wall-clock time with milliseconds, e.g. 2025-03-01T12:00:00.045Z.
std::string log_timestamp();
std::string format_log_timestamp(int64_t nanoseconds_since_epoch);
