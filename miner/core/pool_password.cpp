#include "core/pool_password.h"

#include <vector>

#include "core/errors.h"

namespace {

// Pieces between separators; empty pieces count, a trailing separator adds none.
std::vector<std::string> split_keeping_empty(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find(separator, start);
    if (end == std::string::npos) {
      pieces.push_back(text.substr(start));
      break;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

}  // namespace

std::string password_for_device(const std::string& password, int32_t index, uint32_t count) {
  std::vector<std::string> items = split_keeping_empty(password, ';');
  bool replaced = false;
  for (std::string& item : items) {
    if (item.compare(0, 2, "d=") != 0) continue;
    const std::string value = item.substr(2);
    if (value.find(',') == std::string::npos) continue;  // one difficulty for every device
    const std::vector<std::string> difficulties = split_keeping_empty(value, ',');
    if (difficulties.size() != count) {
      throw CliUsageError("--password d= lists " + std::to_string(difficulties.size()) +
                          " comma-separated difficulties but --devices has " +
                          std::to_string(count) +
                          " GPU(s); provide exactly one difficulty per device in --devices "
                          "order, or a single d= value to share across all");
    }
    item = "d=" + difficulties.at(static_cast<size_t>(index));
    replaced = true;
  }
  if (!replaced) return password;

  std::string joined;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i != 0) joined += ';';
    joined += items[i];
  }
  return joined;
}

std::string difficulty_password(uint32_t difficulty) {
  return std::string(kDefaultPoolPassword) + ";d=" + std::to_string(difficulty);
}
