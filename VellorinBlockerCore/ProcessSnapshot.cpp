// The process snapshot: ps's run and its parser, the owner of a process, and ps's printed form.
#include "VellorinBlockerCore/ProcessSnapshot.hpp"

#include <unistd.h>
#if defined(__APPLE__)
#include <sys/sysctl.h>
#include <vis.h>
#include <xlocale.h>
#endif

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cwchar>
#include <cwctype>
#include <fstream>
#include <limits>
#include <sstream>

#include "VellorinBlockerCore/Limits.hpp"
#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/ProcessEnvironment.hpp"
#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {
namespace {

// What an error text may quote of a failed snapshot's output.
constexpr size_t snapshotMessageLineLength = 120;

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

// The tool's own message in a failed run's output: the first line that is neither empty nor a
// process, shortened. A process line is someone's command line, and is never quoted.
std::string snapshotFailureMessage(std::string_view output) {
  for (const std::string_view line : splitLinesCrLfAsOne(output)) {
    const std::string_view text = trimSpacesAndTabs(line);
    if (text.empty() || parseSnapshotLine(text)) continue;
    return truncatedAtCharacter(replacingInvalidUtf8(text), snapshotMessageLineLength);
  }
  return {};
}

// A locale object for the tools' character type, made once.
locale_t toolCharacterTypeLocale() {
  static const locale_t locale = ::newlocale(LC_CTYPE_MASK, toolCharacterLocale().c_str(), nullptr);
  return locale;
}

}  // namespace

std::vector<RunningProcess> takeProcessSnapshot(const ProcessRunner& processRunner) {
  constexpr const char* tool = "/bin/ps";
  std::string output;
  try {
    output = processRunner(tool, {"-axo", "pid=,ppid=,command="}, RunOptions{.timeLimit = limits::snapshotTimeLimit});
  } catch (const HelperCommandError& failure) {
    if (failure.errorCase() != HelperCommandError::Case::commandFailed) throw;
    const std::string message = snapshotFailureMessage(failure.what());
    const auto status = failure.exitStatus();
    throw HelperCommandError::commandFailed(
        std::string(tool) + (status ? " exited with status " + std::to_string(*status) : std::string(" failed")) +
            (message.empty() ? "" : ": " + message),
        status);
  }
  // Raw bytes, parsed line by line: one command line that is not valid UTF-8 must not blank the rest.
  return parseProcessSnapshot(output);
}

std::vector<RunningProcess> parseProcessSnapshot(std::string_view output) {
  std::vector<RunningProcess> processes;
  for (const std::string_view line : splitLinesCrLfAsOne(output)) {
    if (auto process = parseSnapshotLine(line)) processes.push_back(std::move(*process));
  }
  return processes;
}

std::optional<uid_t> processOwner(int32_t pid) {
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

std::string processStatusForm(const std::string& text) {
  // Printable ASCII but the backslash comes out as it is on every platform: most paths, at no cost.
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~' && c != '\\'; })) return text;
  // The locale the tool has: without one the system lacks, it stays in "C".
  const locale_t locale = toolCharacterTypeLocale();
  const locale_t previous = ::uselocale(locale != nullptr ? locale : LC_GLOBAL_LOCALE);
#if defined(__APPLE__)
  std::vector<char> printed(text.size() * 4 + 1);  // strvis's own bound
  ::strvis(printed.data(), text.c_str(), VIS_TAB | VIS_NL | VIS_NOSLASH);
  ::uselocale(previous);
  return printed.data();
#else
  std::string printed;
  std::mbstate_t state{};
  for (size_t at = 0; at < text.size();) {
    wchar_t character = 0;
    size_t length = std::mbrtowc(&character, text.data() + at, text.size() - at, &state);
    if (length == 0 || length > text.size() - at) {  // a byte outside the character set, or a NUL
      state = {};
      character = static_cast<unsigned char>(text[at]) < 0x80 ? static_cast<wchar_t>(text[at]) : L'\0';
      length = 1;
    }
    if (character == L'\n') {
      printed += ' ';
    } else if (character == L'\0' || std::iswprint(static_cast<wint_t>(character)) == 0) {
      printed += '?';
    } else {
      printed.append(text, at, length);
    }
    at += length;
  }
  ::uselocale(previous);
  return printed;
#endif
}

}  // namespace vellorin
