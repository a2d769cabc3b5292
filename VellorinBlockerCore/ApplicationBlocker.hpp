// The matching of application targets, the exemption of allowed processes, and the two-stage
// termination of what matches.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "VellorinBlockerCore/ApplicationTargetIndex.hpp"
#include "VellorinBlockerCore/CommandRunner.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"
#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/ProcessSnapshot.hpp"

namespace vellorin {

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

// A termination whose first signals went out before it failed (its second snapshot failed, or
// was not started because the daemon pass had reached its deadline): what it found, which must be
// logged all the same, and the failure, to be passed on. Its text is the failure's.
class TerminationCutShortError : public std::exception {
 public:
  TerminationCutShortError(std::vector<HelperBlockedAppEvent> events, std::exception_ptr failure);
  const char* what() const noexcept override { return description_.c_str(); }

  // NOLINTBEGIN(cppcoreguidelines-non-private-member-variables-in-classes,misc-non-private-member-variables-in-classes)
  std::vector<HelperBlockedAppEvent> events;
  std::exception_ptr failure;
  // NOLINTEND(cppcoreguidelines-non-private-member-variables-in-classes,misc-non-private-member-variables-in-classes)

 private:
  std::string description_;
};

class ApplicationBlocker {
 public:
  // Takes snapshots with the default provider (runningProcesses through the runner) and signals
  // through the runner.
  ApplicationBlocker(HelperPaths paths, const ProcessRunner& processRunner);
  ApplicationBlocker(HelperPaths paths, ProcessRunner processRunner, RunningProcessesProvider runningProcessesProvider,
                     ProcessOwnerProvider processOwnerProvider = processOwner);

  // Finds the processes of the targets (sparing the allowed ones, the helper itself, process
  // identifiers below 2 and every process that runs as root or whose owner cannot be told),
  // reports one event per distinct target found, then, unless in dry-run mode, sends "-TERM",
  // waits limits::gracePeriod and sends "-KILL" to those that still match. The owner is looked up
  // again right before each signal. A signal round ends early when the kill tool is stuck or the
  // daemon pass has reached its deadline; what it did not reach is taken up by the next call, where
  // a process that was sent "-TERM" by an earlier call, still matches with the same command line
  // and has had its grace period gets "-KILL" at once. Throws when the first snapshot fails
  // (nothing was signalled), and TerminationCutShortError when a failure follows the first signal.
  std::vector<HelperBlockedAppEvent> terminate(const std::vector<HelperApp>& apps, const std::string& sessionID,
                                               const std::vector<AllowedProcessMatcher>& allowedProcessMatchers);

  // The default snapshot (see takeProcessSnapshot).
  static std::vector<RunningProcess> runningProcesses(const ProcessRunner& processRunner);

  // The processes owned by a target (see ApplicationTargetIndex) that no matcher exempts, with
  // identifiers of 2 and above, ascending by identifier.
  static std::vector<MatchedApplicationProcess> matchingProcesses(
      const std::vector<HelperApp>& apps, const std::vector<RunningProcess>& processes,
      const std::vector<AllowedProcessMatcher>& allowedProcessMatchers);
  static std::vector<MatchedApplicationProcess> matchingProcesses(
      const ApplicationTargetIndex& targets, const std::vector<RunningProcess>& processes,
      const std::vector<AllowedProcessMatcher>& allowedProcessMatchers);
  static std::vector<int32_t> matchingProcessIDs(const std::vector<HelperApp>& apps,
                                                 const std::vector<RunningProcess>& processes,
                                                 const std::vector<AllowedProcessMatcher>& allowedProcessMatchers);
  static std::unordered_set<int32_t> allowedProcessIDs(
      const std::vector<RunningProcess>& processes, const std::vector<AllowedProcessMatcher>& allowedProcessMatchers);
  static bool processHasAllowedAncestor(const RunningProcess& process,
                                        const std::unordered_map<int32_t, RunningProcess>& processByID,
                                        const std::unordered_set<int32_t>& directlyAllowed);
  static std::vector<HelperBlockedAppEvent> blockedApplicationEvents(const std::vector<MatchedApplicationProcess>& from,
                                                                     const std::string& sessionID,
                                                                     TimePoint occurredAt);

  // The blocker's fields, as its callers and tests set them.
  // NOLINTBEGIN(cppcoreguidelines-non-private-member-variables-in-classes,misc-non-private-member-variables-in-classes)
  HelperPaths paths;
  ProcessRunner processRunner;
  RunningProcessesProvider runningProcessesProvider;
  ProcessOwnerProvider processOwnerProvider;
  // NOLINTEND(cppcoreguidelines-non-private-member-variables-in-classes,misc-non-private-member-variables-in-classes)

 private:
  // A process sent "-TERM": its command line then, and when.
  struct SentTerm {
    std::string command;
    std::chrono::steady_clock::time_point at;
  };

  // The two stages for the kill list, taking up the second stage that an earlier call left undone.
  void endProcesses(const ApplicationTargetIndex& targets, const std::vector<MatchedApplicationProcess>& matches,
                    const std::vector<AllowedProcessMatcher>& allowedProcessMatchers);
  // Whether root may signal the process: an identifier of 2 or above, owned by an ordinary user.
  bool isSignallable(int32_t pid) const;
  // Runs "/bin/kill" with the signal argument once per identifier, in the given order, through
  // processRunner, for each that is still signallable. Failures of any kind are ignored. Returns
  // how many of the identifiers, in order, the round went through: fewer than all when it ended
  // early (the tool is stuck, or the pass has no time left for another run).
  size_t signalProcesses(const std::string& signal, const std::vector<int32_t>& processIDs) const;

  // The processes of the last call's kill list that were sent "-TERM", by identifier.
  std::unordered_map<int32_t, SentTerm> sentTerm_;
};

}  // namespace vellorin
