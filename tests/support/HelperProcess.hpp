// Runs the built VellorinHelper binary as a child process for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vellorin::testing {

struct HelperRun {
  int exitStatus = -1;
  std::string standardOutput;
  std::string standardError;
};

struct HelperLaunch {
  std::vector<std::string> arguments;
  std::map<std::string, std::string> environment;  // the whole environment of the child
  std::optional<uid_t> user;                        // drop to this user (and its group) first
};

// Runs the helper to its end and collects both streams.
HelperRun runHelper(const HelperLaunch& launch);

// Starts the helper in the background with its standard error sent to `errorLog`; the caller
// stops it with stopHelper, which always reaps it.
pid_t startHelper(const HelperLaunch& launch, const std::string& errorLog);
void stopHelper(pid_t pid);

// Polls until the predicate holds or the time runs out.
bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeLimit);

}  // namespace vellorin::testing
