// The process snapshot, the matching of application targets, and their two-stage termination.
#include "VellorinBlockerCore/ApplicationBlocker.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <exception>
#include <limits>
#include <optional>
#include <thread>

#include "VellorinBlockerCore/SystemCalls.hpp"
#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {
namespace {

constexpr auto gracePeriod = std::chrono::milliseconds(250);

// Identifiers below 2 are the scheduler and the init process: never a target, whatever their
// command line says. Signalling either would take the whole machine down with the application.
constexpr int32_t lowestSignallableProcessID = 2;

bool isSpaceOrTab(char character) { return character == ' ' || character == '\t'; }

// A decimal signed 32-bit integer: an optional sign, then digits only.
std::optional<int32_t> parseInt32(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  int64_t magnitude = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  const int64_t value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(value);
}

// One line of "pid ppid command": the two numbers are right-aligned, so columns are separated by
// runs of spaces; whitespace inside the command line is kept.
std::optional<RunningProcess> parseSnapshotLine(std::string_view line) {
  line = trimSpacesAndTabs(line);
  const auto firstGap = std::find_if(line.begin(), line.end(), isSpaceOrTab);
  if (firstGap == line.end()) return std::nullopt;
  const std::string_view pidText = line.substr(0, static_cast<size_t>(firstGap - line.begin()));

  const std::string_view rest = trimSpacesAndTabs(line.substr(pidText.size()));
  const auto secondGap = std::find_if(rest.begin(), rest.end(), isSpaceOrTab);
  if (secondGap == rest.end()) return std::nullopt;
  const std::string_view ppidText = rest.substr(0, static_cast<size_t>(secondGap - rest.begin()));
  const std::string_view command = trimSpacesAndTabs(rest.substr(ppidText.size()));

  const auto pid = parseInt32(pidText);
  const auto ppid = parseInt32(ppidText);
  if (!pid || !ppid || command.empty()) return std::nullopt;
  return RunningProcess(*pid, *ppid, std::string(command));
}

// Only an application bundle is ever a target: an absolute path ending in ".app". Anyone can queue
// a session, and a target such as "/usr" would otherwise have root kill every process started from
// under it, system services included.
bool isApplicationBundlePath(const std::string& path) { return startsWith(path, "/") && endsWith(path, ".app"); }

// One target as matching needs it; the needle for the third rule is built once per call, not once
// per process.
struct BundleTarget {
  const HelperApp* app;
  std::string executableDirectory;  // path + "/Contents/MacOS/"

  bool owns(std::string_view command) const {
    const std::string& path = app->path;
    if (command == path) return true;
    if (command.size() > path.size() && startsWith(command, path) && command[path.size()] == '/') return true;
    return contains(command, executableDirectory);
  }
};

}  // namespace

bool AllowedProcessMatcher::matches(std::string_view command) const {
  bool anyEntry = false;
  for (const auto& substring : requiredCommandSubstrings) {
    if (substring.empty()) continue;
    anyEntry = true;
    if (!contains(command, substring)) return false;
  }
  return anyEntry;
}

ApplicationBlocker::ApplicationBlocker(HelperPaths paths_, ProcessRunner runner)
    : ApplicationBlocker(std::move(paths_), runner, [runner] { return runningProcesses(runner); }) {}

ApplicationBlocker::ApplicationBlocker(HelperPaths paths_, ProcessRunner runner, RunningProcessesProvider provider)
    : paths(std::move(paths_)), processRunner(std::move(runner)), runningProcessesProvider(std::move(provider)) {}

std::vector<HelperBlockedAppEvent> ApplicationBlocker::terminate(
    const std::vector<HelperApp>& apps, const std::string& sessionID,
    const std::vector<AllowedProcessMatcher>& allowedProcessMatchers) const {
  std::vector<MatchedApplicationProcess> matches =
      matchingProcesses(apps, runningProcessesProvider(), allowedProcessMatchers);
  const int32_t ownPID = static_cast<int32_t>(::getpid());
  std::erase_if(matches, [ownPID](const MatchedApplicationProcess& match) { return match.process.pid == ownPID; });

  std::vector<int32_t> killList;
  killList.reserve(matches.size());
  for (const auto& match : matches) killList.push_back(match.process.pid);
  killList.erase(std::unique(killList.begin(), killList.end()), killList.end());  // already ascending

  // The events say what was found, fixed before any signal is sent.
  const auto events = blockedApplicationEvents(matches, sessionID, std::chrono::system_clock::now());
  if (paths.dryRun || killList.empty()) return events;

  signalProcesses("-TERM", killList);
  std::this_thread::sleep_for(gracePeriod);

  // Only processes signalled in the first stage are forced: one that appeared during the grace
  // period is left for the next call, and one that became exempt meanwhile is spared.
  const std::vector<int32_t> stillMatching =
      matchingProcessIDs(apps, runningProcessesProvider(), allowedProcessMatchers);
  std::vector<int32_t> survivors;
  std::set_intersection(killList.begin(), killList.end(), stillMatching.begin(), stillMatching.end(),
                        std::back_inserter(survivors));
  signalProcesses("-KILL", survivors);
  return events;
}

void ApplicationBlocker::signalProcesses(const std::string& signal, const std::vector<int32_t>& processIDs) const {
  for (const int32_t pid : processIDs) {
    if (pid < lowestSignallableProcessID) continue;
    try {
      processRunner("/bin/kill", {signal, std::to_string(pid)}, RunOptions{.allowFailure = true});
    } catch (const std::exception&) {
      // The process may be gone or the tool unavailable; the next identifier still gets its signal.
    }
  }
}

std::vector<RunningProcess> ApplicationBlocker::runningProcesses(const ProcessRunner& processRunner) {
  // Raw bytes, parsed line by line: one command line that is not valid UTF-8 must not blank the rest.
  return parseProcessSnapshot(processRunner("/bin/ps", {"-axo", "pid=,ppid=,command="}, RunOptions{}));
}

std::vector<RunningProcess> ApplicationBlocker::parseProcessSnapshot(std::string_view output) {
  std::vector<RunningProcess> processes;
  for (const std::string_view line : splitLinesCrLfAsOne(output)) {
    // A process can put any bytes into its arguments; one such line must not hide the others.
    if (!isValidUtf8(line)) continue;
    if (auto process = parseSnapshotLine(line)) processes.push_back(std::move(*process));
  }
  return processes;
}

std::vector<MatchedApplicationProcess> ApplicationBlocker::matchingProcesses(
    const std::vector<HelperApp>& apps, const std::vector<RunningProcess>& processes,
    const std::vector<AllowedProcessMatcher>& allowedProcessMatchers) {
  std::vector<BundleTarget> targets;
  for (const auto& app : apps) {
    if (isApplicationBundlePath(app.path)) targets.push_back({&app, app.path + "/Contents/MacOS/"});
  }
  if (targets.empty()) return {};
  const std::unordered_set<int32_t> allowed = allowedProcessIDs(processes, allowedProcessMatchers);

  std::vector<MatchedApplicationProcess> matches;
  for (const auto& process : processes) {
    if (process.pid < lowestSignallableProcessID || allowed.contains(process.pid)) continue;
    const auto target = std::find_if(targets.begin(), targets.end(),
                                     [&](const BundleTarget& candidate) { return candidate.owns(process.command); });
    if (target != targets.end()) matches.push_back({*target->app, process});
  }
  std::stable_sort(matches.begin(), matches.end(),
                   [](const auto& left, const auto& right) { return left.process.pid < right.process.pid; });
  return matches;
}

std::vector<int32_t> ApplicationBlocker::matchingProcessIDs(
    const std::vector<HelperApp>& apps, const std::vector<RunningProcess>& processes,
    const std::vector<AllowedProcessMatcher>& allowedProcessMatchers) {
  std::vector<int32_t> ids;
  for (const auto& match : matchingProcesses(apps, processes, allowedProcessMatchers)) ids.push_back(match.process.pid);
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
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
