#include "run_binary.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <cstdio>
#include <thread>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool is_controlled(const std::string& entry) {
  return entry.rfind("HEADLESS_MINER_", 0) == 0 || entry.rfind("HOSTGPU_", 0) == 0 ||
         entry.rfind("NO_COLOR=", 0) == 0;
}

}  // namespace

BinaryRun run_korvath(const std::vector<std::string>& args,
                      const std::vector<std::pair<std::string, std::string>>& env) {
  char out_path[] = "/tmp/korvath_out_XXXXXX";
  char err_path[] = "/tmp/korvath_err_XXXXXX";
  const int out_fd = mkstemp(out_path);
  const int err_fd = mkstemp(err_path);

  std::vector<std::string> env_text;
  for (char** entry = environ; *entry; ++entry) {
    if (!is_controlled(*entry)) env_text.emplace_back(*entry);
  }
  for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
  std::vector<std::string> argv_text{KORVATH_BINARY};
  argv_text.insert(argv_text.end(), args.begin(), args.end());

  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : env_text) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  // A run that should end but doesn't fails its test instead of hanging it.
  int wait_status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (waitpid(pid, &wait_status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wait_status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  close(out_fd);
  close(err_fd);
  BinaryRun run;
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  run.out = slurp(out_path);
  run.err = slurp(err_path);
  std::remove(out_path);
  std::remove(err_path);
  return run;
}
