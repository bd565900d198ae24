#include "core/log.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "core/log_color.h"
#include "core/usage.h"

bool log_debug_enabled = false;
ColorMode log_color_mode = ColorMode::Auto;
thread_local std::string thread_gpu_label = "system";

namespace {

std::mutex log_mutex;

bool color_enabled(int fd) {
  switch (log_color_mode) {
    case ColorMode::Always: return true;
    case ColorMode::Never: return false;
    default: break;
  }
  if (std::getenv("NO_COLOR") != nullptr) return false;
  return isatty(fd) == 1;
}

const char* level_word(LogLevel level) {
  switch (level) {
    case LogLevel::Debug: return "DEBUG";
    case LogLevel::Info: return "INFO";
    case LogLevel::Warn: return "WARN";
    case LogLevel::Error: return "ERROR";
  }
  return "INFO";
}

// Control characters taken from a peer (a job id, an error reply) would end
// the line early or drive the terminal: they are written as escapes. C1
// controls count too, in their UTF-8 form.
std::string escape_control_characters(const std::string& message) {
  auto is_c1 = [&](size_t i) {
    return static_cast<unsigned char>(message[i]) == 0xc2 && i + 1 < message.size() &&
           static_cast<unsigned char>(message[i + 1]) >= 0x80 && static_cast<unsigned char>(message[i + 1]) <= 0x9f;
  };
  auto is_control = [](unsigned char c) { return c < 0x20 || c == 0x7f; };
  bool clean = true;
  for (size_t i = 0; i < message.size() && clean; ++i) {
    clean = !is_control(static_cast<unsigned char>(message[i])) && !is_c1(i);
  }
  if (clean) return message;
  std::string out;
  out.reserve(message.size() + 16);
  for (size_t i = 0; i < message.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(message[i]);
    char escape[8];
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (is_control(c)) {
      std::snprintf(escape, sizeof(escape), "\\x%02x", c);
      out += escape;
    } else if (is_c1(i)) {
      std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned char>(message[i + 1]));
      out += escape;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::string format_log_timestamp(int64_t nanoseconds_since_epoch) {
  const time_t seconds = static_cast<time_t>(nanoseconds_since_epoch / 1000000000);
  const int millis = static_cast<int>((nanoseconds_since_epoch / 1000000) % 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char date[64];
  const size_t len = std::strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S", &utc);
  char fraction[8];
  std::snprintf(fraction, sizeof(fraction), ".%03dZ", millis);
  return std::string(date, len) + fraction;
}

std::string log_timestamp() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return format_log_timestamp(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

void log_line(LogLevel level, std::string_view component, const std::string& message,
              std::string_view gpu_label) {
  if (level == LogLevel::Debug && !log_debug_enabled) return;
  const std::string_view label = gpu_label.empty() ? std::string_view(thread_gpu_label) : gpu_label;
  const bool to_stderr = level == LogLevel::Warn || level == LogLevel::Error;
  FILE* stream = to_stderr ? stderr : stdout;

  const std::string text = escape_control_characters(message);

  std::lock_guard<std::mutex> lock(log_mutex);
  const bool color = color_enabled(to_stderr ? STDERR_FILENO : STDOUT_FILENO);
  std::string line = log_timestamp();
  line += " level=";
  if (color) line += level_color(level);
  line += level_word(level);
  if (color) line += kColorReset;
  line += " ver=";
  line += kKorvathVersion;
  line += " gpu=";
  line += label;
  line += " component=";
  if (color) {
    line += component_color(component);
    line += component;
    line += kColorReset;
    line += ' ';
    line += highlight_events(component, text);
  } else {
    line += component;
    line += ' ';
    line += text;
  }
  line += '\n';
  // One write per line, flushed at once: a miner is normally stopped by a
  // signal, and lines still sitting in a pipe's or file's buffer would be lost.
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

void log_info(std::string_view component, const std::string& message, std::string_view gpu_label) {
  log_line(LogLevel::Info, component, message, gpu_label);
}
