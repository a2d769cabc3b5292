// Starting, waiting for and reaping the tests' child processes.
#include "support/ChildProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <thread>

#include "support/TestSupport.hpp"

extern char** environ;

namespace vellorin::testing {

ChildProcess::ChildProcess(std::vector<std::string> arguments, Options options) {
  std::vector<std::string> environmentText;
  if (options.environment) {
    for (const auto& [name, value] : *options.environment) environmentText.push_back(name + "=" + value);
  }
  std::vector<char*> argv, envp;
  for (auto& text : arguments) argv.push_back(text.data());
  for (auto& text : environmentText) envp.push_back(text.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  char* const* environment = options.environment ? envp.data() : environ;

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {  // only async-signal-safe calls from here on
    const int out = ::open(options.standardOutput.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(options.standardError.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0) ::_exit(126);
    if (options.user && (::setgid(*options.user) != 0 || ::setuid(*options.user) != 0)) ::_exit(125);
    if (options.ignoreTermination) ::signal(SIGTERM, SIG_IGN);
    for (const int fd : options.closedDescriptors) ::close(fd);
    ::execve(argv[0], argv.data(), environment);
    ::_exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (!status_) stop();
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds limit) {
  waitFor(
      [&] {
        int raw = 0;
        if (!status_ && ::waitpid(pid_, &raw, WNOHANG) == pid_) status_ = raw;
        return status_.has_value();
      },
      limit);
  return status_;
}

int ChildProcess::stop() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    status_ = raw;
  }
  return *status_;
}

std::string helperBinary(bool reachableByEveryone) {
  if (!reachableByEveryone) return VELLORIN_HELPER_BINARY;
  static const struct Copy {
    TemporaryDirectory folder;
    std::string path = (folder / "VellorinHelper").string();
    Copy() {
      std::filesystem::permissions(folder.path(), std::filesystem::perms(0755));
      std::filesystem::copy_file(VELLORIN_HELPER_BINARY, path);
    }
  } copy;
  return copy.path;
}

HelperRun runHelper(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                    std::optional<uid_t> user) {
  TemporaryDirectory streams;  // the files are opened before any privilege drop
  std::vector<std::string> command = {helperBinary(user.has_value())};
  command.insert(command.end(), arguments.begin(), arguments.end());
  ChildProcess child(command, {.environment = environment,
                               .user = user,
                               .standardOutput = (streams / "out").string(),
                               .standardError = (streams / "err").string()});
  const auto ended = child.waitForExit(std::chrono::minutes(2));
  const int status = ended ? *ended : child.stop();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readTextFile(streams / "out").value_or(""),
          readTextFile(streams / "err").value_or("")};
}

}  // namespace vellorin::testing
