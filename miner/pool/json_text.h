#pragma once
#include <string>

// Writing and reading JSON string contents for values that travel back to the pool.

// The text escaped for insertion between the quotes of a JSON string.
std::string json_escape(const std::string& text);

// The value of a JSON string's contents (the characters between its quotes),
// every escape translated (\uXXXX to UTF-8). Throws std::runtime_error
// "invalid JSON string escape" for a malformed escape.
std::string json_unescape(const std::string& raw);

// The value of an array element: a quoted string decoded with json_unescape,
// anything else trimmed of white space.
std::string json_element_text(const std::string& element);
