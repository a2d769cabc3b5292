// The process snapshot, the matching of application targets, and their two-stage termination.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "VellorinBlockerCore/CommandRunner.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"
#include "VellorinBlockerCore/Models.hpp"

namespace vellorin {

struct RunningProcess {
  int32_t pid = 0;
  int32_t ppid = 0;
  std::string command;

  RunningProcess(int32_t pid_, int32_t ppid_, std::string command_) : pid(pid_), ppid(ppid_), command(std::move(command_)) {}
  RunningProcess(int32_t pid_, std::string command_) : pid(pid_), command(std::move(command_)) {}
  bool operator==(const RunningProcess&) const = default;
};

struct MatchedApplicationProcess {
  HelperApp app;
  RunningProcess process;
  bool operator==(const MatchedApplicationProcess&) const = default;
};

// Exempts a process whose command line contains every non-empty entry; with no non-empty entry it
// exempts nothing.
struct AllowedProcessMatcher {
  std::vector<std::string> requiredCommandSubstrings;

  bool matches(std::string_view command) const;
  bool operator==(const AllowedProcessMatcher&) const = default;
};

using RunningProcessesProvider = std::function<std::vector<RunningProcess>()>;

class ApplicationBlocker {
 public:
  // Takes snapshots with the default provider (runningProcesses through the runner) and signals
  // through the runner.
  ApplicationBlocker(HelperPaths paths, ProcessRunner processRunner);
  ApplicationBlocker(HelperPaths paths, ProcessRunner processRunner, RunningProcessesProvider runningProcessesProvider);

  // Finds the processes of the targets (sparing the allowed ones, the helper itself and process
  // identifiers below 2; a target whose path is not an absolute path ending in ".app" matches
  // nothing), reports one event per distinct target found, then, unless in dry-run mode, sends
  // "-TERM", waits 0.25 seconds and sends "-KILL" to those that still match.
  // Throws when a snapshot fails.
  std::vector<HelperBlockedAppEvent> terminate(const std::vector<HelperApp>& apps, const std::string& sessionID,
                                               const std::vector<AllowedProcessMatcher>& allowedProcessMatchers) const;

  // The default snapshot: "/bin/ps" "-axo" "pid=,ppid=,command=" through the runner. Throws when
  // the tool cannot be started or exits with a non-zero status.
  static std::vector<RunningProcess> runningProcesses(const ProcessRunner& processRunner);
  // Parses the snapshot tool's output line by line; lines that cannot be parsed, or that are not
  // valid UTF-8, are skipped.
  static std::vector<RunningProcess> parseProcessSnapshot(std::string_view output);

  static std::vector<MatchedApplicationProcess> matchingProcesses(
      const std::vector<HelperApp>& apps, const std::vector<RunningProcess>& processes,
      const std::vector<AllowedProcessMatcher>& allowedProcessMatchers);
  static std::vector<int32_t> matchingProcessIDs(const std::vector<HelperApp>& apps,
                                                 const std::vector<RunningProcess>& processes,
                                                 const std::vector<AllowedProcessMatcher>& allowedProcessMatchers);
  static std::unordered_set<int32_t> allowedProcessIDs(const std::vector<RunningProcess>& processes,
                                                       const std::vector<AllowedProcessMatcher>& allowedProcessMatchers);
  static bool processHasAllowedAncestor(const RunningProcess& process,
                                        const std::unordered_map<int32_t, RunningProcess>& processByID,
                                        const std::unordered_set<int32_t>& directlyAllowed);
  static std::vector<HelperBlockedAppEvent> blockedApplicationEvents(const std::vector<MatchedApplicationProcess>& from,
                                                                     const std::string& sessionID, TimePoint occurredAt);

  HelperPaths paths;
  ProcessRunner processRunner;
  RunningProcessesProvider runningProcessesProvider;

 private:
  // Runs "/bin/kill" with the signal argument once per identifier, in the given order, through
  // processRunner. Failures of any kind are ignored; identifiers below 2 are never signalled.
  void signalProcesses(const std::string& signal, const std::vector<int32_t>& processIDs) const;
};

}  // namespace vellorin
