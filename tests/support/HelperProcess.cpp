// Running the built helper binary from tests.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

#include "support/HelperProcess.hpp"
#include "support/TestSupport.hpp"

namespace vellorin::testing {
namespace {

// The build tree may lie where an unprivileged user cannot reach it (a checkout under /root), so
// a run that drops privileges starts a copy of the binary from a folder every user can enter.
const std::string& binaryReachableByEveryone() {
  static const struct Copy {
    TemporaryDirectory folder;
    std::string path = (folder / "VellorinHelper").string();
    Copy() {
      std::filesystem::permissions(folder.path(), std::filesystem::perms(0755));
      std::filesystem::copy_file(VELLORIN_HELPER_BINARY, path);
      std::filesystem::permissions(path, std::filesystem::perms(0755));
    }
  } copy;
  return copy.path;
}

pid_t spawn(const HelperLaunch& launch, const std::string& outputPath, const std::string& errorPath) {
  std::vector<std::string> argumentText = {launch.user ? binaryReachableByEveryone() : VELLORIN_HELPER_BINARY};
  argumentText.insert(argumentText.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<std::string> environmentText;
  for (const auto& [name, value] : launch.environment) environmentText.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (auto& text : argumentText) argv.push_back(text.data());
  for (auto& text : environmentText) envp.push_back(text.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
    if (launch.user && (::setgid(*launch.user) != 0 || ::setuid(*launch.user) != 0)) ::_exit(125);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

HelperRun runHelper(const HelperLaunch& launch) {
  TemporaryDirectory streams;
  const pid_t pid = spawn(launch, (streams / "out").string(), (streams / "err").string());
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
          readTextFile(streams / "out").value_or(""), readTextFile(streams / "err").value_or("")};
}

pid_t startHelper(const HelperLaunch& launch, const std::string& errorLog) {
  return spawn(launch, "/dev/null", errorLog);
}

void stopHelper(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeLimit) {
  const auto deadline = std::chrono::steady_clock::now() + timeLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return predicate();
}

}  // namespace vellorin::testing
