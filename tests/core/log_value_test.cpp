#include "core/log_value.h"

#include <gtest/gtest.h>

#include <string>

#include "core/log.h"

namespace {

// How a value from outside is written into a key=value field.
TEST(LogValueTest, QuotesOnlyWhatCouldEndOrAddAField) {
  struct Case {
    const char* name;
    std::string value;
    std::string written;
  };
  const Case cases[] = {
      {"plain", "job-17", "job-17"},
      {"hex and dots", "pool.example.org:3333", "pool.example.org:3333"},
      {"empty", "", ""},
      {"a backslash alone", "a\\b", "a\\b"},
      {"utf-8 text", "j\xc3\xa9", "j\xc3\xa9"},
      {"a blank", "a b", "\"a b\""},
      {"a field", "x component=share", "\"x component=share\""},
      {"an equals sign", "a=b", "\"a=b\""},
      {"a quote", "a\"b", "\"a\\\"b\""},
      {"a quote and a backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
      {"a trailing backslash", "x y\\", "\"x y\\\\\""},
      {"a newline", "a\nb", "\"a\nb\""},
      {"a tab", "a\tb", "\"a\tb\""},
      {"delete", "a\x7f", "\"a\x7f\""},
      {"a C1 control", "a\xc2\x85", "\"a\xc2\x85\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(log_value(c.value), c.written);
    EXPECT_EQ(log_value_needs_quotes(c.value), c.written != c.value);
  }
  EXPECT_EQ(log_quoted("plain"), "\"plain\"");
  EXPECT_EQ(log_quoted(""), "\"\"");
  EXPECT_EQ(log_quoted("say \"hi\"\\"), "\"say \\\"hi\\\"\\\\\"");
}

// Inside quotes the writer still escapes control characters, so a quoted
// value stays on its line and reads back with the usual escapes.
TEST(LogValueTest, AQuotedValueWithControlsStaysOnOneLine) {
  const ColorMode saved = log_color_mode;
  log_color_mode = ColorMode::Never;
  testing::internal::CaptureStdout();
  log_info("share", "submitted job=" + log_value("a\n\"b\"\x1b[0m"), "system");
  const std::string out = testing::internal::GetCapturedStdout();
  log_color_mode = saved;
  EXPECT_NE(out.find(" component=share submitted job=\"a\\n\\\"b\\\"\\x1b[0m\"\n"), std::string::npos) << out;
  EXPECT_EQ(out.find('\n'), out.size() - 1);
}

}  // namespace
