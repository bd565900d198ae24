#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Scanners that pick single values out of one line of JSON text without
// parsing it. A field is found at the first occurrence of its quoted name
// anywhere in the line. Failures throw std::runtime_error naming the field.

// The decimal digits of an unsigned integer value, as text.
std::string json_int_field(std::string_view text, std::string_view name);

// The raw characters between the value's quotes, escapes untouched.
std::string json_string_field(std::string_view text, std::string_view name);

// The array's text from "[" to its matching "]" inclusive.
std::string json_array_field(std::string_view text, std::string_view name);

// The named array's elements converted with std::stoi (whose invalid-argument
// and out-of-range errors pass through).
std::vector<int32_t> json_int_array_field(std::string_view text, std::string_view name);

// The top-level element texts of an array, white space and quotes kept.
std::vector<std::string> split_json_array(std::string_view array_text);

// The text without surrounding white space and, when quoted, without its
// quotes and with every backslash dropped (escape letters are not translated).
std::string trim_unquote(std::string text);
