// HOSTGPU_DEVICES: "MAJOR.MINOR[,NAME[,MEMORY_MIB[,MULTIPROCESSORS]]]" separated by ";".
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime_state.h"

namespace hostgpu::runtime {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::string trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

// A positive decimal number of at most nine digits (no sign, no blanks inside).
bool parse_count(const std::string& text, long* value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  *value = std::strtol(text.c_str(), nullptr, 10);
  return true;
}

bool parse_capability(const std::string& text, DeviceSpec* spec) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) return false;
  long major = 0;
  long minor = 0;
  if (!parse_count(text.substr(0, dot), &major) || !parse_count(text.substr(dot + 1), &minor)) {
    return false;
  }
  if (major < 1 || major > 99 || minor > 9) return false;
  spec->major = static_cast<int>(major);
  spec->minor = static_cast<int>(minor);
  return true;
}

// Multiprocessor counts of a typical device of each capability.
int typical_multiprocessors(int major, int minor) {
  const int cc = major * 10 + minor;
  switch (cc) {
    case 70: return 80;
    case 75: return 40;
    case 80: return 108;
    case 86: return 82;
    case 89: return 128;
    case 90: return 132;
    case 100: case 103: return 148;
    case 120: return 170;
    default: return 16;
  }
}

}  // namespace

bool parse_device_list(const std::string& text, std::vector<DeviceSpec>* devices) {
  devices->clear();
  if (trim(text).empty()) return true;
  for (const std::string& entry : split(text, ';')) {
    const std::vector<std::string> fields = split(entry, ',');
    if (fields.size() > 4) return false;
    DeviceSpec spec;
    if (!parse_capability(trim(fields[0]), &spec)) return false;
    if (fields.size() > 1) spec.name = trim(fields[1]).substr(0, 255);
    long memory_mib = 8192;
    if (fields.size() > 2 && !trim(fields[2]).empty() &&
        (!parse_count(trim(fields[2]), &memory_mib) || memory_mib == 0)) {
      return false;
    }
    spec.memory_bytes = static_cast<size_t>(memory_mib) << 20;
    long multiprocessors = typical_multiprocessors(spec.major, spec.minor);
    if (fields.size() > 3 && !trim(fields[3]).empty() &&
        (!parse_count(trim(fields[3]), &multiprocessors) || multiprocessors == 0)) {
      return false;
    }
    spec.multiprocessors = static_cast<int>(multiprocessors);
    devices->push_back(spec);
  }
  return true;
}

}  // namespace hostgpu::runtime
