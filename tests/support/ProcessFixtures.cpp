// Test processes that the tests start, watch and always reap, and fake application bundles.
#include "support/ProcessFixtures.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <system_error>
#include <thread>

extern char** environ;

namespace vellorin::testing {

SpawnedProcess::SpawnedProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char*> argv;
  const std::string programText = program.string();
  argv.push_back(const_cast<char*>(programText.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int error = posix_spawn(&pid_, programText.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::system_error(error, std::generic_category(), "posix_spawn " + programText);
}

SpawnedProcess::~SpawnedProcess() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

std::optional<int> SpawnedProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t result = ::waitpid(pid_, &status, WNOHANG);
    if (result == pid_) {
      status_ = status;
      return status_;
    }
    if (result < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::filesystem::path installFakeApplication(const std::filesystem::path& root, const std::string& bundleName,
                                             const std::string& executableName, const std::filesystem::path& program) {
  const auto directory = root / (bundleName + ".app") / "Contents" / "MacOS";
  std::filesystem::create_directories(directory);
  const auto executable = directory / executableName;
  std::filesystem::copy_file(std::filesystem::canonical(program), executable,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(executable, static_cast<std::filesystem::perms>(0755));
  return executable;
}

bool processIsAlive(pid_t pid) {
  if (::kill(pid, 0) != 0) return false;
  // An orphan that has ended stays a zombie until the init process collects it.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace vellorin::testing
