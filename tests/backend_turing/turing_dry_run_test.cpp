// The miner's dry run on the "turing_sm75" row ends normally.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(TuringDryRunTest, TwoAttemptsOnACapability75DeviceExitZero) {
  const std::string command =
      "HOSTGPU_DEVICES='7.5,Host Turing,4096,40' NO_COLOR=1 '" + std::string(KORVATH_BINARY) +
      "' --dry-run --max-attempts 2 --m 256 --n 256 --k 256 --rank 64 --force-backend turing 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  while (size_t got = fread(buffer, 1, sizeof(buffer), pipe)) output.append(buffer, got);
  const int status = pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status)) << output;
  EXPECT_EQ(WEXITSTATUS(status), 0) << output;
  EXPECT_NE(output.find("backend=turing_sm75"), std::string::npos) << output;
}

}  // namespace
