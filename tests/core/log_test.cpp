#include "core/log.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr size_t kTimestampLength = 24;  // 2025-03-01T12:00:00.045Z
const char kPrefixPattern[] = R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z level=)";

struct Captured {
  std::string out;
  std::string err;
};

template <typename Fn>
Captured capture(Fn fn) {
  CaptureStdout();
  CaptureStderr();
  fn();
  Captured c;
  c.err = GetCapturedStderr();
  c.out = GetCapturedStdout();
  return c;
}

// Restores the process-wide settings and NO_COLOR after each test.
class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_debug_ = log_debug_enabled;
    saved_mode_ = log_color_mode;
    if (const char* v = std::getenv("NO_COLOR")) saved_no_color_ = v;
    unsetenv("NO_COLOR");
    log_color_mode = ColorMode::Never;
  }
  void TearDown() override {
    log_debug_enabled = saved_debug_;
    log_color_mode = saved_mode_;
    if (saved_no_color_) {
      setenv("NO_COLOR", saved_no_color_->c_str(), 1);
    } else {
      unsetenv("NO_COLOR");
    }
    thread_gpu_label = "system";
  }

 private:
  bool saved_debug_ = false;
  ColorMode saved_mode_ = ColorMode::Auto;
  std::optional<std::string> saved_no_color_;
};

TEST_F(LogTest, LineFormat) {
  const Captured c = capture([] { log_info("cuda", "scheduling=spin", ""); });
  EXPECT_TRUE(std::regex_match(
      c.out, std::regex(std::string(kPrefixPattern) +
                        R"(INFO ver=1\.7\.6 gpu=system component=cuda scheduling=spin\n)")))
      << c.out;
  EXPECT_EQ(c.err, "");
}

TEST_F(LogTest, TimestampIsUtcWithZeroPaddedMilliseconds) {
  EXPECT_EQ(format_log_timestamp(7000000), "1970-01-01T00:00:00.007Z");
  EXPECT_EQ(format_log_timestamp(1740830400045999999), "2025-03-01T12:00:00.045Z");
  EXPECT_EQ(format_log_timestamp(1740830399999000000), "2025-03-01T11:59:59.999Z");
  EXPECT_TRUE(std::regex_match(log_timestamp(),
                               std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)")));
}

TEST_F(LogTest, LevelsGoToTheirStreams) {
  log_debug_enabled = true;
  const struct {
    LogLevel level;
    const char* word;
    bool to_stderr;
  } cases[] = {
      {LogLevel::Debug, "DEBUG", false},
      {LogLevel::Info, "INFO", false},
      {LogLevel::Warn, "WARN", true},
      {LogLevel::Error, "ERROR", true},
  };
  for (const auto& k : cases) {
    const Captured c = capture([&] { log_line(k.level, "miner", "event x=1", ""); });
    const std::string& written = k.to_stderr ? c.err : c.out;
    const std::string& other = k.to_stderr ? c.out : c.err;
    EXPECT_NE(written.find(std::string(" level=") + k.word + " ver="), std::string::npos) << written;
    EXPECT_EQ(other, "") << k.word;
  }
}

TEST_F(LogTest, DebugIsDroppedUnlessEnabled) {
  const Captured off = capture([] { log_line(LogLevel::Debug, "debug", "hidden", ""); });
  EXPECT_EQ(off.out, "");
  EXPECT_EQ(off.err, "");

  log_debug_enabled = true;
  const Captured on = capture([] { log_line(LogLevel::Debug, "debug", "shown", ""); });
  EXPECT_NE(on.out.find(" level=DEBUG ver=1.7.6 gpu=system component=debug shown\n"), std::string::npos);
}

TEST_F(LogTest, GpuLabelArgumentOrThreadLabel) {
  thread_gpu_label = "0:Test GPU";
  const Captured c = capture([] {
    log_info("pool", "a", "");
    log_info("pool", "b", "system");
    std::thread([] { log_info("pool", "c", ""); }).join();
  });
  EXPECT_NE(c.out.find(" gpu=0:Test GPU component=pool a\n"), std::string::npos) << c.out;
  EXPECT_NE(c.out.find(" gpu=system component=pool b\n"), std::string::npos) << c.out;
  EXPECT_NE(c.out.find(" gpu=system component=pool c\n"), std::string::npos) << c.out;
}

TEST_F(LogTest, AlwaysColoursEvenWithNoColorAndAFile) {
  log_color_mode = ColorMode::Always;
  setenv("NO_COLOR", "1", 1);
  const Captured c = capture([] {
    log_info("pool", "connected url=x", "");
    log_line(LogLevel::Error, "cli", "error=\"bad\"", "");
  });
  ASSERT_GT(c.out.size(), kTimestampLength);
  EXPECT_EQ(c.out.find('\x1b'), kTimestampLength + 7);  // nothing before "level=" is coloured
  EXPECT_EQ(c.out.substr(kTimestampLength),
            " level=\x1b[32mINFO\x1b[0m ver=1.7.6 gpu=system component=\x1b[34;1mpool\x1b[0m "
            "\x1b[32;1mconnected\x1b[0m url=x\n");
  EXPECT_EQ(c.err.substr(kTimestampLength),
            " level=\x1b[31;1mERROR\x1b[0m ver=1.7.6 gpu=system component=\x1b[37mcli\x1b[0m "
            "error=\"bad\"\n");
}

TEST_F(LogTest, LevelColoursInLines) {
  log_color_mode = ColorMode::Always;
  log_debug_enabled = true;
  const Captured c = capture([] {
    log_line(LogLevel::Debug, "proof", "d", "");
    log_line(LogLevel::Warn, "share", "dropped x", "");
  });
  EXPECT_EQ(c.out.substr(kTimestampLength),
            " level=\x1b[2;37mDEBUG\x1b[0m ver=1.7.6 gpu=system component=\x1b[36mproof\x1b[0m d\n");
  EXPECT_EQ(c.err.substr(kTimestampLength),
            " level=\x1b[33mWARN\x1b[0m ver=1.7.6 gpu=system component=\x1b[36;1mshare\x1b[0m "
            "\x1b[33;1mdropped\x1b[0m x\n");
}

TEST_F(LogTest, NeverAndAutoOffATerminalDoNotColour) {
  for (ColorMode mode : {ColorMode::Never, ColorMode::Auto}) {
    log_color_mode = mode;
    const Captured c = capture([] {
      log_line(LogLevel::Info, "share", "submitted x", "");
      log_line(LogLevel::Warn, "pool", "connection_lost", "");
    });
    EXPECT_EQ(c.out.find('\x1b'), std::string::npos) << c.out;
    EXPECT_EQ(c.err.find('\x1b'), std::string::npos) << c.err;
    EXPECT_NE(c.out.find("component=share submitted x\n"), std::string::npos);
  }
}

// A pseudo-terminal standing in for one of the standard streams.
class FakeTerminal {
 public:
  explicit FakeTerminal(int target_fd) : target_fd_(target_fd) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const int slave = open(ptsname(master_), O_RDWR | O_NOCTTY);
    if (slave < 0) return;
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::fflush(nullptr);
    saved_fd_ = dup(target_fd_);
    dup2(slave, target_fd_);
    close(slave);
  }
  ~FakeTerminal() {
    restore();
    if (master_ >= 0) close(master_);
  }
  bool ok() const { return saved_fd_ >= 0; }
  void restore() {
    if (saved_fd_ < 0) return;
    std::fflush(nullptr);
    dup2(saved_fd_, target_fd_);
    close(saved_fd_);
    saved_fd_ = -1;
  }
  std::string read_available() {
    std::string text;
    pollfd p{master_, POLLIN, 0};
    char buf[4096];
    while (poll(&p, 1, 200) > 0) {
      const ssize_t n = read(master_, buf, sizeof(buf));
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
    return text;
  }

 private:
  int target_fd_;
  int master_ = -1;
  int saved_fd_ = -1;
};

TEST_F(LogTest, AutoColoursExactlyTheTerminalStream) {
  log_color_mode = ColorMode::Auto;
  {
    FakeTerminal tty(STDOUT_FILENO);
    if (!tty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    CaptureStderr();
    log_info("miner", "on_tty", "");
    log_line(LogLevel::Warn, "miner", "to_file", "");
    const std::string err = GetCapturedStderr();
    tty.restore();
    const std::string out = tty.read_available();
    EXPECT_NE(out.find("\x1b[32mINFO\x1b[0m"), std::string::npos) << out;
    EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
  }
  {
    FakeTerminal tty(STDERR_FILENO);
    if (!tty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    log_line(LogLevel::Warn, "miner", "on_tty", "");
    setenv("NO_COLOR", "", 1);  // present though empty: colour off
    log_line(LogLevel::Warn, "miner", "no_color", "");
    tty.restore();
    const std::string err = tty.read_available();
    EXPECT_NE(err.find("\x1b[33mWARN\x1b[0m ver=1.7.6 gpu=system component=\x1b[35;1mminer\x1b[0m on_tty"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(" level=WARN ver=1.7.6 gpu=system component=miner no_color\n"), std::string::npos)
        << err;
  }
}

TEST_F(LogTest, ConcurrentLinesNeverMix) {
  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 300;
  const std::string payload(200, 'x');
  const Captured c = capture([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t, &payload] {
        thread_gpu_label = std::to_string(t) + ":dev";
        for (int i = 0; i < kLinesPerThread; ++i) {
          log_info("share", "submitted i=" + std::to_string(i) + " p=" + payload, "");
        }
      });
    }
    for (auto& th : threads) th.join();
  });
  const std::regex line_re(std::string(kPrefixPattern) +
                           R"(INFO ver=1\.7\.6 gpu=(\d):dev component=share submitted i=(\d+) p=x{200})");
  std::map<int, int> next_index;
  std::istringstream lines(c.out);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, line_re)) << line;
    const int thread = std::stoi(m[1]);
    EXPECT_EQ(std::stoi(m[2]), next_index[thread]++) << line;  // each thread's lines in its order
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLinesPerThread);
  EXPECT_EQ(c.out.back(), '\n');
}

// A miner is stopped by a signal; every line it wrote to a pipe must already
// be out of the process when it dies.
TEST_F(LogTest, LinesSurviveAKillWhenStdoutIsAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    log_info("miner", "status attempts=1", "");
    log_info("share", "submitted job=7", "");
    log_line(LogLevel::Warn, "pool", "connection_lost phase=poll", "");
    raise(SIGKILL);
    _exit(1);
  }
  close(fds[1]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_NE(text.find("component=miner status attempts=1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("component=share submitted job=7\n"), std::string::npos) << text;
  EXPECT_NE(text.find("component=pool connection_lost phase=poll\n"), std::string::npos) << text;
}

// Text from a peer can hold control characters; a line must stay one line
// and must not drive the terminal.
TEST_F(LogTest, ControlCharactersInTheMessageAreEscaped) {
  const struct {
    const char* name;
    std::string message;
    std::string written;
  } cases[] = {
      {"plain", "submitted job=a-1 \xc3\xa9", "submitted job=a-1 \xc3\xa9"},
      {"newline", "submitted job=a\nsubmitted job=b", "submitted job=a\\nsubmitted job=b"},
      {"carriage return and tab", "job=a\rb\tc", "job=a\\rb\\tc"},
      {"terminal escape", "job=\x1b[2J\x1b[31mred", "job=\\x1b[2J\\x1b[31mred"},
      {"nul, bell and delete", std::string("a\0b\x07\x7f", 5), "a\\x00b\\x07\\x7f"},
      {"C1 control in UTF-8", "a\xc2\x9b" "31mb \xc2\xa0", "a\\u009b31mb \xc2\xa0"},
      {"lone lead byte at the end", "a\xc2", "a\xc2"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    const Captured c = capture([&] { log_info("share", k.message, ""); });
    const std::string tail = " component=share " + k.written + "\n";
    ASSERT_GE(c.out.size(), tail.size());
    EXPECT_EQ(c.out.substr(c.out.size() - tail.size()), tail);
    EXPECT_EQ(std::count(c.out.begin(), c.out.end(), '\n'), 1);
  }
  log_color_mode = ColorMode::Always;
  const Captured coloured = capture([] { log_info("share", "submitted job=x\x1b[0m\ny", ""); });
  EXPECT_NE(coloured.out.find("job=x\\x1b[0m\\ny\n"), std::string::npos) << coloured.out;
}

}  // namespace
