#include "core/log_color.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kReset = "\x1b[0m";

std::string wrap(const std::string& color, const std::string& word) {
  return "\x1b" + color + word + kReset;
}

TEST(LogColorTest, ComponentColors) {
  const struct {
    const char* component;
    const char* sequence;
  } cases[] = {
      {"share", "\x1b[36;1m"}, {"miner", "\x1b[35;1m"}, {"proof", "\x1b[36m"},
      {"pool", "\x1b[34;1m"},  {"cuda", "\x1b[35m"},    {"gateway", "\x1b[37m"},
      {"cli", "\x1b[37m"},     {"", "\x1b[37m"},        {"Share", "\x1b[37m"},
  };
  for (const auto& c : cases) EXPECT_STREQ(component_color(c.component), c.sequence) << c.component;
}

TEST(LogColorTest, LevelColors) {
  EXPECT_STREQ(level_color(LogLevel::Debug), "\x1b[2;37m");
  EXPECT_STREQ(level_color(LogLevel::Info), "\x1b[32m");
  EXPECT_STREQ(level_color(LogLevel::Warn), "\x1b[33m");
  EXPECT_STREQ(level_color(LogLevel::Error), "\x1b[31;1m");
}

TEST(LogColorTest, EventWordsPerComponent) {
  const struct {
    const char* component;
    std::string message;
    std::string expected;
  } cases[] = {
      {"pool", "connected url=a", wrap("[32;1m", "connected") + " url=a"},
      {"pool", "connection_lost phase=poll", wrap("[33;1m", "connection_lost") + " phase=poll"},
      {"pool", "dev_fee started login=x", wrap("[35;1m", "dev_fee started") + " login=x"},
      {"pool", "dev_fee ended", wrap("[35;1m", "dev_fee ended")},
      {"pool", "disconnected", "dis" + wrap("[32;1m", "connected")},
      {"share", "found_candidate tile=1", wrap("[36;1m", "found_candidate") + " tile=1"},
      {"share", "submitted job=1", wrap("[32;1m", "submitted") + " job=1"},
      {"share", "submission_error e=x", wrap("[31;1m", "submission_error") + " e=x"},
      {"share", "dropped stage=proof", wrap("[33;1m", "dropped") + " stage=proof"},
      {"share", "submitted a resubmitted",
       wrap("[32;1m", "submitted") + " a re" + wrap("[32;1m", "submitted")},
      {"miner", "status hashrate_th_s=1.25 share_equiv_th_s=0.50",
       "status " + wrap("[32;1m", "hashrate_th_s=") + "1.25 " + wrap("[36;1m", "share_equiv_th_s=") +
           "0.50"},
      // Words of one component are not coloured under another.
      {"cuda", "submitted connected", "submitted connected"},
      {"proof", "dropped", "dropped"},
      {"miner", "submitted", "submitted"},
      {"share", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(highlight_events(c.component, c.message), c.expected) << c.component << ": " << c.message;
  }
}

TEST(LogColorTest, HighlightWordColoursEveryOccurrenceOnce) {
  // The colour and reset sequences both contain "m": the search must go on
  // after the inserted reset, not inside what it inserted.
  std::string text = "mm";
  highlight_word(text, "m", "\x1b[31m");
  EXPECT_EQ(text, "\x1b[31mm" + kReset + "\x1b[31mm" + kReset);
  std::string none = "xyz";
  highlight_word(none, "a", "<c>");
  EXPECT_EQ(none, "xyz");
}

}  // namespace
