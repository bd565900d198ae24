#pragma once
// Values from outside (a pool, a gateway, the user) in key=value log fields,
// written so that no value can end its field early or add fields of its own.
#include <string>
#include <string_view>

// Whether the value must be quoted: it holds a blank, a double quote, an
// equals sign or a control character (C0, DEL, or C1 in its UTF-8 form).
bool log_value_needs_quotes(std::string_view text);

// The value as it stands when it needs no quotes; otherwise in double quotes
// with '"' and '\' escaped, as logfmt readers expect. The log writer escapes
// the control characters themselves.
std::string log_value(std::string_view text);

// The value always in double quotes, escaped the same way: for fields that
// are quoted whatever they hold, such as error texts.
std::string log_quoted(std::string_view text);
