#pragma once
#include <string>
#include <string_view>

#include "core/log.h"

// ANSI sequences of the log writer's colour mode.
inline constexpr char kColorReset[] = "\x1b[0m";

const char* level_color(LogLevel level);
const char* component_color(std::string_view component);

// Copy of message with the component's event words coloured.
std::string highlight_events(std::string_view component, const std::string& message);

// Colours every occurrence of word in text (plain substring match).
void highlight_word(std::string& text, std::string_view word, const char* color);
