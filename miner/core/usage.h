#pragma once
#include <ostream>

// The program version, printed by --version.
inline constexpr char kKorvathVersion[] = "1.7.6";

// Writes the 50-line usage text.
void print_usage(std::ostream& out);

// Writes "korvath <version>" and a newline.
void print_version(std::ostream& out);
