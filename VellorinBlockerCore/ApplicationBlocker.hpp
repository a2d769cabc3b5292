// The process snapshot, the matching of application targets, and their two-stage termination.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "VellorinBlockerCore/CommandRunner.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"
#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/ProcessEnvironment.hpp"

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

// The effective user id of a running process, or nothing when it cannot be told (it has gone).
using ProcessOwnerProvider = std::function<std::optional<uid_t>(int32_t pid)>;

// The form in which the process status tool prints a text (see processStatusForm).
using PrintedForm = std::function<std::string(const std::string& text)>;

class PieceHashes;

// The application targets indexed by bundle path, so that finding the target of a command line
// costs time in proportion to the command line, not to the number of targets. A target owns a
// command line that equals its path, begins with its path and "/", or holds its path followed by
// "/Contents/MacOS/" anywhere; of several, the first in the given order wins. The path counts as
// written and in the form the process status tool prints it (`printedForm`), and the comparison is
// of bytes, whatever the command line holds. Only application bundles are ever targets: a path
// that is not absolute and ending in ".app" owns nothing. The index refers to `apps`, which must
// outlive it.
class ApplicationTargetIndex {
 public:
  explicit ApplicationTargetIndex(const std::vector<HelperApp>& apps, const PrintedForm& printedForm = processStatusForm);
  ~ApplicationTargetIndex();
  // It refers to the targets it was built from: a copy could outlive them.
  ApplicationTargetIndex(const ApplicationTargetIndex&) = delete;
  ApplicationTargetIndex& operator=(const ApplicationTargetIndex&) = delete;
  ApplicationTargetIndex(ApplicationTargetIndex&&) = delete;
  ApplicationTargetIndex& operator=(ApplicationTargetIndex&&) = delete;

  const HelperApp* owner(std::string_view command) const;
  bool empty() const { return byPathHash_.empty(); }

 private:
  const std::vector<HelperApp>& apps_;
  std::vector<std::pair<std::string, size_t>> paths_;     // a path form, and its target's position in apps_
  std::unordered_multimap<uint64_t, size_t> byPathHash_;  // path hash -> position in paths_
  size_t longestPath_ = 0;
  // Working space, reused from one command line to the next: an index serves one thread at a time.
  std::unique_ptr<PieceHashes> hashes_;
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
  // waits 0.25 seconds and sends "-KILL" to those that still match. The owner is looked up again
  // right before each signal. Throws when a snapshot fails.
  std::vector<HelperBlockedAppEvent> terminate(const std::vector<HelperApp>& apps, const std::string& sessionID,
                                               const std::vector<AllowedProcessMatcher>& allowedProcessMatchers) const;

  // The default snapshot: "/bin/ps" "-axo" "pid=,ppid=,command=" through the runner. Throws when
  // the tool cannot be started, exits with a non-zero status or outlives its 10-second limit.
  static std::vector<RunningProcess> runningProcesses(const ProcessRunner& processRunner);
  // Parses the snapshot tool's output line by line; lines that cannot be parsed are skipped. A
  // command line is kept as its bytes, valid UTF-8 or not: any process can put any bytes into its
  // arguments, and must not thereby escape its target.
  static std::vector<RunningProcess> parseProcessSnapshot(std::string_view output);

  // The effective user id of a process from the process table (Linux: /proc; macOS: sysctl).
  static std::optional<uid_t> processOwner(int32_t pid);

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
  ProcessOwnerProvider processOwnerProvider;

 private:
  // Whether root may signal the process: an identifier of 2 or above, owned by an ordinary user.
  bool isSignallable(int32_t pid) const;
  // Runs "/bin/kill" with the signal argument once per identifier, in the given order, through
  // processRunner, for each that is still signallable. Failures of any kind are ignored.
  void signalProcesses(const std::string& signal, const std::vector<int32_t>& processIDs) const;
};

}  // namespace vellorin
