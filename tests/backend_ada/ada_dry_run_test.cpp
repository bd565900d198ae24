// The engine mines through the ada row: a dry run forced to it, with the
// stream modes the host device offers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_binary.h"

namespace {

int count(const std::string& text, const std::string& piece) {
  int found = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++found;
  }
  return found;
}

TEST(AdaDryRun, ForcedRowMinesMaxAttemptsAndExitsZero) {
  for (const char* streams : {"eager", "deferred"}) {
    SCOPED_TRACE(streams);
    const BinaryRun run = run_korvath(
        {"--dry-run", "--max-attempts", "2", "--status-interval", "1", "--m", "256", "--n", "256",
         "--k", "256", "--rank", "128", "--force-backend", "ada"},
        {{"HOSTGPU_DEVICES", "8.9,Host Ada,4096,8"}, {"HOSTGPU_STREAMS", streams},
         {"NO_COLOR", "1"}});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("component=miner backend=ada_sm89\n"), std::string::npos);
    EXPECT_EQ(count(run.out, "component=miner status attempts="), 2) << run.out;
  }
}

TEST(AdaDryRun, CapabilityEightNineSelectsTheRow) {
  const BinaryRun run = run_korvath(
      {"--dry-run", "--max-attempts", "1", "--m", "128", "--n", "256", "--k", "128", "--rank",
       "128"},
      {{"HOSTGPU_DEVICES", "8.9,Host Ada,4096,8"}, {"NO_COLOR", "1"}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("component=miner backend=ada_sm89\n"), std::string::npos);
}

}  // namespace
