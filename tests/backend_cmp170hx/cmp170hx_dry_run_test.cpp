// The miner's dry run on the "cmp170hx_sm80" row ends normally, chosen for
// the device or forced.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

TEST(Cmp170hxDryRunTest, TwoAttemptsOnACmp170hxExitZero) {
  for (const char* force : {"", "--force-backend cmp170hx"}) {
    SCOPED_TRACE(force);
    const std::string command = "HOSTGPU_DEVICES='8.0,NVIDIA CMP 170HX,8192,70' NO_COLOR=1 '" +
                                std::string(KORVATH_BINARY) +
                                "' --dry-run --max-attempts 2 --m 256 --n 256 --k 256 --rank 128 " +
                                force + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    while (size_t got = fread(buffer, 1, sizeof(buffer), pipe)) output.append(buffer, got);
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("backend=cmp170hx_sm80"), std::string::npos) << output;
  }
}

}  // namespace
