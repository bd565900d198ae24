#include <gtest/gtest.h>

#include <string>

#include "run_binary.h"

namespace {

int count_lines(const std::string& text) {
  int lines = 0;
  for (const char c : text) lines += c == '\n';
  return lines;
}

TEST(CommandLineBinary, HelpAndVersionPrintAndExitWhereTheyStand) {
  for (const char* word : {"help", "-h", "--help"}) {
    const BinaryRun run = run_korvath({"--dry-run", word, "--bogus"});
    EXPECT_EQ(run.status, 0) << word;
    EXPECT_EQ(count_lines(run.out), 50) << word;
    EXPECT_EQ(run.out.rfind("usage: korvath [help] [OPTIONS]\n", 0), 0u) << word;
    EXPECT_EQ(run.err, "") << word;
  }
  const BinaryRun version = run_korvath({"--version", "--bogus"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "korvath 1.7.6\n");
  // An earlier bad argument wins.
  const BinaryRun bogus = run_korvath({"--bogus", "help"});
  EXPECT_EQ(bogus.status, 1);
  EXPECT_EQ(bogus.out, "");
  EXPECT_NE(bogus.err.find("component=miner error=\"unknown argument: --bogus\""),
            std::string::npos)
      << bogus.err;
}

TEST(CommandLineBinary, ExitStatusByFailureKind) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* line;
    bool usage;
  };
  const Case cases[] = {
      {{}, 2,
       "component=cli error=\"missing required pool endpoint. Supply --pool and --address. "
       "Run `korvath help`.\"",
       true},
      {{"--pool"}, 1, "component=miner error=\"missing value for --pool\"", false},
      {{"--max-attempts", "lots"}, 1, "component=miner error=\"stoll\"", false},
      {{"--status-interval", "x"}, 1, "component=miner error=\"stoi\"", false},
  };
  for (const Case& c : cases) {
    const BinaryRun run = run_korvath(c.args, {{"NO_COLOR", "1"}});
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(std::string("level=ERROR ver=1.7.6 gpu=system ") + c.line + "\n"),
              std::string::npos)
        << run.err;
    const bool has_usage = run.err.find("usage: korvath [help] [OPTIONS]") != std::string::npos;
    EXPECT_EQ(has_usage, c.usage) << run.err;
    if (c.usage) EXPECT_EQ(count_lines(run.err), 51);
    EXPECT_EQ(run.out, "");
  }
}

}  // namespace
