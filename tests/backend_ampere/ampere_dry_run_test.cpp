// The miner's dry run on the "ampere_sm8x" row ends normally.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

TEST(AmpereDryRunTest, TwoAttemptsOnACapability86DeviceExitZero) {
  for (const char* rank : {"64", "128"}) {
    SCOPED_TRACE(rank);
    const std::string command = "HOSTGPU_DEVICES='8.6,Host GPU,4096,8' NO_COLOR=1 '" +
                                std::string(KORVATH_BINARY) +
                                "' --dry-run --max-attempts 2 --m 256 --n 256 --k 256 --rank " +
                                rank + " --force-backend ampere 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    while (size_t got = fread(buffer, 1, sizeof(buffer), pipe)) output.append(buffer, got);
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("backend=ampere_sm8x"), std::string::npos) << output;
  }
}

}  // namespace
