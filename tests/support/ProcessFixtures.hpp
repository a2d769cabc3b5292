// Test processes that the tests start, watch and always reap, and fake application bundles.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vellorin::testing {

// A child of the test process. If it is still unreaped when the object goes away, it is killed
// with SIGKILL and reaped, so a failing test leaves neither a running process nor a zombie.
class SpawnedProcess {
 public:
  // Starts the program with the arguments (after its own name); standard output and standard
  // error go to /dev/null. Throws std::system_error when it cannot be started.
  SpawnedProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments);
  ~SpawnedProcess();
  SpawnedProcess(const SpawnedProcess&) = delete;
  SpawnedProcess& operator=(const SpawnedProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Waits up to the timeout for the child to end; its raw wait status, or nothing if it still runs.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  bool hasExited() const { return status_.has_value(); }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Copies `program` to root/<bundleName>.app/Contents/MacOS/<executableName> (mode 0755) and
// returns the copy's path.
std::filesystem::path installFakeApplication(const std::filesystem::path& root, const std::string& bundleName,
                                             const std::string& executableName, const std::filesystem::path& program);

// True when the process exists and is not a zombie.
bool processIsAlive(pid_t pid);

// Polls the condition every 10 ms until it holds or the timeout passes; returns its last value.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace vellorin::testing
