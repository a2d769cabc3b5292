// The process snapshot, the matching of application targets, and their two-stage termination.
#include "VellorinBlockerCore/ApplicationBlocker.hpp"

#include <unistd.h>
#if defined(__APPLE__)
#include <sys/sysctl.h>
#endif

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <exception>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <thread>

#include "VellorinBlockerCore/SystemCalls.hpp"
#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {

// Polynomial hashes of a text's prefixes modulo two primes, so that the hash of any piece costs
// constant time. The bases are drawn at random once per process: nobody can prepare a command line
// whose pieces collide with a target path on purpose, and a collision is only ever a wasted
// comparison, since every hit is compared in full. One object serves many texts in turn.
class PieceHashes {
 public:
  // Hashes the first `length` bytes of the text.
  void reset(std::string_view text, size_t length) {
    const auto& bases = randomBases();
    for (int k = 0; k < 2; ++k) {
      prefix_[k].resize(length + 1);
      while (power_[k].size() <= length) power_[k].push_back(power_[k].back() * bases[k] % modulus);
      for (size_t i = 0; i < length; ++i) {
        prefix_[k][i + 1] = (prefix_[k][i] * bases[k] + static_cast<unsigned char>(text[i]) + 1) % modulus;
      }
    }
  }

  // The hash of text[begin, end), within the hashed length.
  uint64_t piece(size_t begin, size_t end) const {
    uint64_t halves[2];
    for (int k = 0; k < 2; ++k) {
      halves[k] = (prefix_[k][end] + modulus * modulus - prefix_[k][begin] * power_[k][end - begin]) % modulus;
    }
    return halves[0] << 31 | halves[1];
  }

  uint64_t of(std::string_view text) {
    reset(text, text.size());
    return piece(0, text.size());
  }

 private:
  static constexpr uint64_t modulus = 2147483647;  // 2^31 - 1: every product fits in 64 bits

  static const std::array<uint64_t, 2>& randomBases() {
    static const std::array<uint64_t, 2> bases = [] {
      uint32_t random[2];
      fillRandomBytes(random, sizeof random);
      return std::array<uint64_t, 2>{256 + random[0] % (modulus - 512), 256 + random[1] % (modulus - 512)};
    }();
    return bases;
  }

  std::vector<uint64_t> prefix_[2] = {{0}, {0}};
  std::vector<uint64_t> power_[2] = {{1}, {1}};
};

namespace {

constexpr auto gracePeriod = std::chrono::milliseconds(250);
// A snapshot of a few thousand processes takes well under a second even on a loaded Mac; one that
// takes longer fails the pass, which the daemon retries after its pause.
constexpr auto snapshotTimeLimit = std::chrono::seconds(10);
// kill(1) signals one process and returns; a run that hangs means the tool itself is stuck.
constexpr auto signalTimeLimit = std::chrono::seconds(3);

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
  const auto* const firstGap = std::find_if(line.begin(), line.end(), isSpaceOrTab);
  if (firstGap == line.end()) return std::nullopt;
  const std::string_view pidText = line.substr(0, static_cast<size_t>(firstGap - line.begin()));

  const std::string_view rest = trimSpacesAndTabs(line.substr(pidText.size()));
  const auto* const secondGap = std::find_if(rest.begin(), rest.end(), isSpaceOrTab);
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

constexpr std::string_view bundleEnd = ".app";
constexpr std::string_view executableDirectory = "/Contents/MacOS/";

}  // namespace

ApplicationTargetIndex::ApplicationTargetIndex(const std::vector<HelperApp>& apps, const PrintedForm& printedForm)
    : apps_(apps), hashes_(std::make_unique<PieceHashes>()) {
  byPathHash_.reserve(apps.size());
  const auto add = [&](std::string path, size_t app) {
    const uint64_t hash = hashes_->of(path);
    const auto [first, last] = byPathHash_.equal_range(hash);
    // A path listed twice keeps its first place.
    if (std::any_of(first, last, [&](const auto& entry) { return paths_[entry.second].first == path; })) return;
    byPathHash_.emplace(hash, paths_.size());
    longestPath_ = std::max(longestPath_, path.size());
    paths_.emplace_back(std::move(path), app);
  };
  for (size_t i = 0; i < apps.size(); ++i) {
    const std::string& path = apps[i].path;
    if (!isApplicationBundlePath(path)) continue;
    add(path, i);
    if (std::string printed = printedForm(path); printed != path) add(std::move(printed), i);
  }
}

ApplicationTargetIndex::~ApplicationTargetIndex() = default;

const HelperApp* ApplicationTargetIndex::owner(std::string_view command) const {
  // Every target path ends in ".app", so every piece worth a look ends just after one.
  const size_t lastBundleEnd = command.rfind(bundleEnd);
  if (empty() || lastBundleEnd == std::string_view::npos) return nullptr;
  PieceHashes& hashes = *hashes_;
  hashes.reset(command, lastBundleEnd + bundleEnd.size());
  size_t best = apps_.size();
  const auto consider = [&](size_t begin, size_t end) {
    const auto [first, last] = byPathHash_.equal_range(hashes.piece(begin, end));
    for (auto entry = first; entry != last; ++entry) {
      const auto& [path, app] = paths_[entry->second];
      if (app < best && path == command.substr(begin, end - begin)) best = app;
    }
  };
  if (lastBundleEnd + bundleEnd.size() == command.size() && command.size() <= longestPath_) {
    consider(0, command.size());  // the command line is the path
  }
  for (size_t at = command.find(bundleEnd); at != std::string_view::npos; at = command.find(bundleEnd, at + 1)) {
    const size_t end = at + bundleEnd.size();
    if (end >= command.size() || command[end] != '/') continue;
    if (end <= longestPath_) consider(0, end);  // the path and "/" begin the command line
    if (command.substr(end, executableDirectory.size()) != executableDirectory) continue;
    // The path and "/Contents/MacOS/" anywhere: the path is the piece from some "/" up to here.
    for (size_t begin = end; begin-- > 0 && end - begin <= longestPath_;) {
      if (command[begin] == '/') consider(begin, end);
    }
  }
  return best < apps_.size() ? &apps_[best] : nullptr;
}

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

std::vector<HelperBlockedAppEvent> ApplicationBlocker::terminate(
    const std::vector<HelperApp>& apps, const std::string& sessionID,
    const std::vector<AllowedProcessMatcher>& allowedProcessMatchers) const {
  const ApplicationTargetIndex targets(apps);  // built once for both snapshots
  if (targets.empty()) return {};              // nothing could match: no snapshot is taken
  std::vector<MatchedApplicationProcess> matches =
      matchingProcesses(targets, runningProcessesProvider(), allowedProcessMatchers);
  const auto ownPID = static_cast<int32_t>(::getpid());
  std::erase_if(matches, [&](const MatchedApplicationProcess& match) {
    return match.process.pid == ownPID || !isSignallable(match.process.pid);
  });

  std::vector<int32_t> killList;
  killList.reserve(matches.size());
  for (const auto& match : matches) killList.push_back(match.process.pid);
  killList.erase(std::unique(killList.begin(), killList.end()), killList.end());  // already ascending

  // The events say what was found, fixed before any signal is sent.
  auto events = blockedApplicationEvents(matches, sessionID, std::chrono::system_clock::now());
  if (paths.dryRun || killList.empty()) return events;

  signalProcesses("-TERM", killList);
  std::this_thread::sleep_for(gracePeriod);

  // Only processes signalled in the first stage are forced: one that appeared during the grace
  // period is left for the next call, and one that became exempt meanwhile is spared.
  std::vector<int32_t> stillMatching;
  for (const auto& match : matchingProcesses(targets, runningProcessesProvider(), allowedProcessMatchers)) {
    stillMatching.push_back(match.process.pid);
  }
  std::vector<int32_t> survivors;
  std::set_intersection(killList.begin(), killList.end(), stillMatching.begin(), stillMatching.end(),
                        std::back_inserter(survivors));
  signalProcesses("-KILL", survivors);
  return events;
}

// Root signals only what an ordinary user runs: anyone can queue a session, and a target that
// names the bundle of a management or security agent running as root must not have root end it.
// A process whose owner cannot be told has gone, or is not ours to guess about.
bool ApplicationBlocker::isSignallable(int32_t pid) const {
  if (pid < lowestSignallableProcessID) return false;
  const std::optional<uid_t> owner = processOwnerProvider(pid);
  return owner && *owner != 0;
}

void ApplicationBlocker::signalProcesses(const std::string& signal, const std::vector<int32_t>& processIDs) const {
  for (const int32_t pid : processIDs) {
    // Looked up again right before the signal: the identifier may have been reused meanwhile.
    if (!isSignallable(pid)) continue;
    try {
      processRunner("/bin/kill", {signal, std::to_string(pid)},
                    RunOptions{.allowFailure = true, .timeLimit = signalTimeLimit});
    } catch (const ToolTimeoutError&) {
      return;  // The tool is stuck: the rest wait for the next call rather than a limit each.
    } catch (const std::exception&) {
      // The process may be gone or the tool unavailable; the next identifier still gets its signal.
    }
  }
}

std::optional<uid_t> ApplicationBlocker::processOwner(int32_t pid) {
#if defined(__APPLE__)
  int request[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
  kinfo_proc info{};
  size_t size = sizeof info;
  if (::sysctl(request, 4, &info, &size, nullptr, 0) != 0 || size == 0) return std::nullopt;
  return info.kp_eproc.e_ucred.cr_uid;  // the effective user id
#else
  // "Uid:" followed by the real, effective, saved and file-system user ids.
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (!startsWith(line, "Uid:")) continue;
    std::istringstream ids(line.substr(4));
    uid_t real = 0, effective = 0;
    if (!(ids >> real >> effective)) return std::nullopt;  // a number out of range fails too
    return effective;
  }
  return std::nullopt;
#endif
}

std::vector<RunningProcess> ApplicationBlocker::runningProcesses(const ProcessRunner& processRunner) {
  // Raw bytes, parsed line by line: one command line that is not valid UTF-8 must not blank the rest.
  return parseProcessSnapshot(
      processRunner("/bin/ps", {"-axo", "pid=,ppid=,command="}, RunOptions{.timeLimit = snapshotTimeLimit}));
}

std::vector<RunningProcess> ApplicationBlocker::parseProcessSnapshot(std::string_view output) {
  std::vector<RunningProcess> processes;
  for (const std::string_view line : splitLinesCrLfAsOne(output)) {
    if (auto process = parseSnapshotLine(line)) processes.push_back(std::move(*process));
  }
  return processes;
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
