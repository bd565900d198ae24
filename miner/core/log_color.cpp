#include "core/log_color.h"

const char* level_color(LogLevel level) {
  switch (level) {
    case LogLevel::Debug: return "\x1b[2;37m";
    case LogLevel::Info: return "\x1b[32m";
    case LogLevel::Warn: return "\x1b[33m";
    case LogLevel::Error: return "\x1b[31;1m";
  }
  return "\x1b[32m";
}

const char* component_color(std::string_view component) {
  if (component == "share") return "\x1b[36;1m";
  if (component == "miner") return "\x1b[35;1m";
  if (component == "proof") return "\x1b[36m";
  if (component == "pool") return "\x1b[34;1m";
  if (component == "cuda") return "\x1b[35m";
  return "\x1b[37m";
}

namespace {

struct EventWord {
  const char* word;
  const char* color;
};

const EventWord kPoolEvents[] = {
    {"connected", "\x1b[32;1m"},
    {"connection_lost", "\x1b[33;1m"},
    {"dev_fee started", "\x1b[35;1m"},
    {"dev_fee ended", "\x1b[35;1m"},
};
const EventWord kShareEvents[] = {
    {"found_candidate", "\x1b[36;1m"},
    {"submitted", "\x1b[32;1m"},
    {"submission_error", "\x1b[31;1m"},
    {"dropped", "\x1b[33;1m"},
};
const EventWord kMinerEvents[] = {
    {"hashrate_th_s=", "\x1b[32;1m"},
    {"share_equiv_th_s=", "\x1b[36;1m"},
};

template <size_t N>
void highlight_all(std::string& text, const EventWord (&events)[N]) {
  for (const EventWord& e : events) highlight_word(text, e.word, e.color);
}

}  // namespace

std::string highlight_events(std::string_view component, const std::string& message) {
  std::string text = message;
  if (component == "pool") {
    highlight_all(text, kPoolEvents);
  } else if (component == "share") {
    highlight_all(text, kShareEvents);
  } else if (component == "miner") {
    highlight_all(text, kMinerEvents);
  }
  return text;
}

void highlight_word(std::string& text, std::string_view word, const char* color) {
  if (word.empty()) return;
  const std::string_view reset = kColorReset;
  const std::string_view open = color;
  size_t pos = 0;
  while ((pos = text.find(word.data(), pos, word.size())) != std::string::npos) {
    text.insert(pos, open);
    pos += open.size() + word.size();
    text.insert(pos, reset);
    pos += reset.size();
  }
}
