// Matching application targets, exempting the allowed processes, and the two-stage termination.
#include "VellorinBlockerCore/ApplicationBlocker.hpp"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <thread>

#include "VellorinBlockerCore/Limits.hpp"
#include "VellorinBlockerCore/SystemCalls.hpp"
#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {
namespace {

// Identifiers below 2 are the scheduler and the init process: never a target, whatever their
// command line says. Signalling either would take the whole machine down with the application.
constexpr int32_t lowestSignallableProcessID = 2;

std::vector<int32_t> processIDs(const std::vector<MatchedApplicationProcess>& matches) {
  std::vector<int32_t> ids;
  ids.reserve(matches.size());
  for (const auto& match : matches) ids.push_back(match.process.pid);
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());  // matches are ascending by identifier
  return ids;
}

}  // namespace

TerminationCutShortError::TerminationCutShortError(std::vector<HelperBlockedAppEvent> events_,
                                                   std::exception_ptr failure_)
    // NOLINTNEXTLINE(bugprone-throw-keyword-missing): the failure is kept, to be thrown again later
    : events(std::move(events_)), failure(std::move(failure_)), description_(failureDescription(failure)) {}

bool AllowedProcessMatcher::matches(std::string_view command) const {
  bool anyEntry = false;
  for (const auto& substring : requiredCommandSubstrings) {
    if (substring.empty()) continue;
    anyEntry = true;
    if (!contains(command, substring)) return false;
  }
  return anyEntry;
}

ApplicationBlocker::ApplicationBlocker(HelperPaths paths_, const ProcessRunner& runner)
    : ApplicationBlocker(std::move(paths_), runner, [runner] { return runningProcesses(runner); }) {}

ApplicationBlocker::ApplicationBlocker(HelperPaths paths_, ProcessRunner runner, RunningProcessesProvider provider,
                                       ProcessOwnerProvider ownerProvider)
    : paths(std::move(paths_)),
      processRunner(std::move(runner)),
      runningProcessesProvider(std::move(provider)),
      processOwnerProvider(std::move(ownerProvider)) {}

std::vector<RunningProcess> ApplicationBlocker::runningProcesses(const ProcessRunner& processRunner) {
  return takeProcessSnapshot(processRunner);
}

std::vector<HelperBlockedAppEvent> ApplicationBlocker::terminate(
    const std::vector<HelperApp>& apps, const std::string& sessionID,
    const std::vector<AllowedProcessMatcher>& allowedProcessMatchers) {
  const ApplicationTargetIndex targets(apps);  // built once for both snapshots
  if (targets.empty()) return {};              // nothing could match: no snapshot is taken
  std::vector<MatchedApplicationProcess> matches =
      matchingProcesses(targets, runningProcessesProvider(), allowedProcessMatchers);
  const auto ownPID = static_cast<int32_t>(::getpid());
  std::erase_if(matches, [&](const MatchedApplicationProcess& match) {
    return match.process.pid == ownPID || !isSignallable(match.process.pid);
  });

  // The events say what was found, fixed before any signal is sent.
  auto events = blockedApplicationEvents(matches, sessionID, std::chrono::system_clock::now());
  if (paths.dryRun) return events;
  try {
    endProcesses(targets, matches, allowedProcessMatchers);
  } catch (...) {
    // Signals may have gone out: what was found is logged whatever happens to the rest.
    throw TerminationCutShortError(std::move(events), std::current_exception());
  }
  return events;
}

void ApplicationBlocker::endProcesses(const ApplicationTargetIndex& targets,
                                      const std::vector<MatchedApplicationProcess>& matches,
                                      const std::vector<AllowedProcessMatcher>& allowedProcessMatchers) {
  const auto now = std::chrono::steady_clock::now();
  // A process sent "-TERM" by an earlier call whose second stage never came (its round or its pass
  // was cut short) gets it now, once it has had its grace period; only while its command line is
  // the one it was signalled with, since an identifier can be reused.
  std::unordered_map<int32_t, SentTerm> earlier;
  std::vector<int32_t> overdue, fresh;
  for (const auto& match : matches) {
    const int32_t pid = match.process.pid;
    if (!fresh.empty() && fresh.back() == pid) continue;
    if (!overdue.empty() && overdue.back() == pid) continue;
    const auto sent = sentTerm_.find(pid);
    if (sent != sentTerm_.end() && sent->second.command == match.process.command &&
        now - sent->second.at >= limits::gracePeriod) {
      overdue.push_back(pid);
      earlier.insert(*sent);
    } else {
      fresh.push_back(pid);
    }
  }
  sentTerm_ = std::move(earlier);  // what is no longer in the kill list is forgotten
  if (signalProcesses("-KILL", overdue) < overdue.size() || fresh.empty()) return;

  const size_t reached = signalProcesses("-TERM", fresh);
  const auto sentAt = std::chrono::steady_clock::now();
  for (const auto& match : matches) {
    if (std::binary_search(fresh.begin(), fresh.begin() + static_cast<std::ptrdiff_t>(reached), match.process.pid)) {
      sentTerm_.insert_or_assign(match.process.pid, SentTerm{match.process.command, sentAt});
    }
  }
  const bool roundComplete = reached == fresh.size();
  if (!roundComplete) return;  // the rest of the round, and the second stage, come with the next call
  std::this_thread::sleep_for(limits::gracePeriod);

  // Only processes signalled in the first stage are forced: one that appeared during the grace
  // period is left for the next call, and one that became exempt meanwhile is spared.
  const std::vector<int32_t> stillMatching =
      processIDs(matchingProcesses(targets, runningProcessesProvider(), allowedProcessMatchers));
  std::vector<int32_t> survivors;
  std::set_intersection(fresh.begin(), fresh.end(), stillMatching.begin(), stillMatching.end(),
                        std::back_inserter(survivors));
  signalProcesses("-KILL", survivors);
}

// Root signals only what an ordinary user runs: anyone can queue a session, and a target that
// names the bundle of a management or security agent running as root must not have root end it.
// A process whose owner cannot be told has gone, or is not ours to guess about.
bool ApplicationBlocker::isSignallable(int32_t pid) const {
  if (pid < lowestSignallableProcessID) return false;
  const std::optional<uid_t> owner = processOwnerProvider(pid);
  return owner && *owner != 0;
}

size_t ApplicationBlocker::signalProcesses(const std::string& signal, const std::vector<int32_t>& processIDs) const {
  size_t reached = 0;
  for (const int32_t pid : processIDs) {
    // Looked up again right before the signal: the identifier may have been reused meanwhile.
    if (isSignallable(pid)) {
      try {
        processRunner("/bin/kill", {signal, std::to_string(pid)},
                      RunOptions{.allowFailure = true, .timeLimit = limits::signalTimeLimit});
      } catch (const ToolTimeoutError&) {
        // The tool is stuck, or the pass has no time left: the rest wait for the next call rather
        // than a limit each.
        return reached;
      } catch (const std::exception&) {
        // The process may be gone or the tool unavailable; the next identifier still gets its signal.
      }
    }
    ++reached;
  }
  return reached;
}

std::vector<MatchedApplicationProcess> ApplicationBlocker::matchingProcesses(
    const std::vector<HelperApp>& apps, const std::vector<RunningProcess>& processes,
    const std::vector<AllowedProcessMatcher>& allowedProcessMatchers) {
  return matchingProcesses(ApplicationTargetIndex(apps), processes, allowedProcessMatchers);
}

std::vector<MatchedApplicationProcess> ApplicationBlocker::matchingProcesses(
    const ApplicationTargetIndex& targets, const std::vector<RunningProcess>& processes,
    const std::vector<AllowedProcessMatcher>& allowedProcessMatchers) {
  if (targets.empty()) return {};
  const std::unordered_set<int32_t> allowed = allowedProcessIDs(processes, allowedProcessMatchers);

  std::vector<MatchedApplicationProcess> matches;
  for (const auto& process : processes) {
    if (process.pid < lowestSignallableProcessID || allowed.contains(process.pid)) continue;
    if (const HelperApp* owner = targets.owner(process.command)) matches.push_back({*owner, process});
  }
  std::stable_sort(matches.begin(), matches.end(),
                   [](const auto& left, const auto& right) { return left.process.pid < right.process.pid; });
  return matches;
}

std::vector<int32_t> ApplicationBlocker::matchingProcessIDs(
    const std::vector<HelperApp>& apps, const std::vector<RunningProcess>& processes,
    const std::vector<AllowedProcessMatcher>& allowedProcessMatchers) {
  return processIDs(matchingProcesses(apps, processes, allowedProcessMatchers));
}

std::unordered_set<int32_t> ApplicationBlocker::allowedProcessIDs(
    const std::vector<RunningProcess>& processes, const std::vector<AllowedProcessMatcher>& allowedProcessMatchers) {
  std::vector<const AllowedProcessMatcher*> active;
  for (const auto& matcher : allowedProcessMatchers) {
    if (std::any_of(matcher.requiredCommandSubstrings.begin(), matcher.requiredCommandSubstrings.end(),
                    [](const std::string& entry) { return !entry.empty(); })) {
      active.push_back(&matcher);
    }
  }
  if (active.empty()) return {};

  std::unordered_map<int32_t, RunningProcess> processByID;
  std::unordered_set<int32_t> directlyAllowed;
  for (const auto& process : processes) {
    processByID.emplace(process.pid, process);  // a duplicate identifier keeps its first entry
    if (std::any_of(active.begin(), active.end(),
                    [&](const AllowedProcessMatcher* matcher) { return matcher->matches(process.command); })) {
      directlyAllowed.insert(process.pid);
    }
  }
  if (directlyAllowed.empty()) return {};

  std::unordered_set<int32_t> allowed;
  for (const auto& process : processes) {
    if (processHasAllowedAncestor(process, processByID, directlyAllowed)) allowed.insert(process.pid);
  }
  return allowed;
}

bool ApplicationBlocker::processHasAllowedAncestor(const RunningProcess& process,
                                                   const std::unordered_map<int32_t, RunningProcess>& processByID,
                                                   const std::unordered_set<int32_t>& directlyAllowed) {
  if (process.pid < 1) return false;
  int32_t current = process.pid;
  int32_t parent = process.ppid;
  std::unordered_set<int32_t> visited;
  for (;;) {
    if (visited.contains(current)) return false;  // the parent links form a cycle
    if (directlyAllowed.contains(current)) return true;
    visited.insert(current);
    const auto found = processByID.find(parent);
    if (found == processByID.end() || found->second.pid < 1) return false;
    current = found->second.pid;
    parent = found->second.ppid;
  }
}

std::vector<HelperBlockedAppEvent> ApplicationBlocker::blockedApplicationEvents(
    const std::vector<MatchedApplicationProcess>& from, const std::string& sessionID, TimePoint occurredAt) {
  std::unordered_set<std::string> seen;
  std::vector<HelperBlockedAppEvent> events;
  for (const auto& match : from) {
    if (!seen.insert(match.app.bundleIdentifier + "|" + match.app.path).second) continue;
    events.push_back(HelperBlockedAppEvent{makeRandomUUID(), sessionID, match.app.bundleIdentifier, match.app.name,
                                           match.app.path, occurredAt});
  }
  return events;
}

}  // namespace vellorin
