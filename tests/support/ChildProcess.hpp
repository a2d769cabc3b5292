// Child processes of the tests and benchmarks: the helper binary and stand-in applications.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vellorin::testing {

// A process started from an argument vector (never through a shell). It is always reaped: the
// destructor kills and reaps one that still runs, so a failed test leaves nothing behind.
class ChildProcess {
 public:
  struct Options {
    // The whole environment of the child; the test's own when absent.
    std::optional<std::map<std::string, std::string>> environment;
    // Drop to this user (and the group of the same number) before the program starts.
    std::optional<uid_t> user;
    // Where the standard streams go.
    std::string standardOutput = "/dev/null";
    std::string standardError = "/dev/null";
    // Start with SIGTERM ignored, as an application that refuses to quit does.
    bool ignoreTermination = false;
    // Standard descriptors the program starts without.
    std::vector<int> closedDescriptors;
  };

  explicit ChildProcess(std::vector<std::string> arguments, Options options);
  explicit ChildProcess(std::vector<std::string> arguments) : ChildProcess(std::move(arguments), Options{}) {}
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  // The raw wait status once the child has ended, waiting up to the limit; nothing while it runs.
  std::optional<int> waitForExit(std::chrono::milliseconds limit);
  // Ends the child with SIGKILL (if it still runs) and reaps it; returns the raw wait status.
  int stop();

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// The built helper; a copy every user can reach when a test drops privileges, since the build
// tree may lie where an unprivileged user cannot enter (a checkout under /root).
std::string helperBinary(bool reachableByEveryone = false);

struct HelperRun {
  int exitStatus = -1;
  std::string standardOutput;
  std::string standardError;
};

// Runs the helper to its end with the given environment (and user) and collects both streams.
HelperRun runHelper(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                    std::optional<uid_t> user = std::nullopt);

}  // namespace vellorin::testing
