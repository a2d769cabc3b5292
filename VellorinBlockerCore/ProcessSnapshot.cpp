// The process snapshot: ps's run and its parser, the owner of a process, and ps's printed forms.
#include "VellorinBlockerCore/ProcessSnapshot.hpp"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>
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
#include <stdexcept>

#include "VellorinBlockerCore/IcuCalls.hpp"
#include "VellorinBlockerCore/Limits.hpp"
#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/ProcessEnvironment.hpp"
#include "VellorinBlockerCore/SystemCalls.hpp"
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

// The tools' character type on this thread while it lives: the locale the tool has, which stays
// in "C" when the system lacks the one it is given.
class ToolCharacterTypeScope {
 public:
  ToolCharacterTypeScope() {
    const locale_t locale = toolCharacterTypeLocale();
    previous_ = ::uselocale(locale != nullptr ? locale : LC_GLOBAL_LOCALE);
  }
  ~ToolCharacterTypeScope() { ::uselocale(previous_); }
  ToolCharacterTypeScope(const ToolCharacterTypeScope&) = delete;
  ToolCharacterTypeScope& operator=(const ToolCharacterTypeScope&) = delete;
  ToolCharacterTypeScope(ToolCharacterTypeScope&&) = delete;
  ToolCharacterTypeScope& operator=(ToolCharacterTypeScope&&) = delete;

 private:
  locale_t previous_ = nullptr;
};

// Well-formed UTF-8 in one normalization form.
std::string normalized(const UNormalizer2* form, const std::string& text) {
  using Text16 = std::u16string;
  const auto utf16 = preflightedIcuCall<Text16>("u_strFromUTF8WithSub", [&](UChar* out, int32_t size,
                                                                            UErrorCode* status) {
    int32_t written = 0;
    u_strFromUTF8WithSub(out, size, &written, text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr, status);
    return written;
  });
  const auto inForm = preflightedIcuCall<Text16>("unorm2_normalize", [&](UChar* out, int32_t size, UErrorCode* status) {
    return unorm2_normalize(form, utf16.data(), static_cast<int32_t>(utf16.size()), out, size, status);
  });
  return preflightedIcuCall<std::string>("u_strToUTF8", [&](char* out, int32_t size, UErrorCode* status) {
    int32_t written = 0;
    u_strToUTF8(out, size, &written, inForm.data(), static_cast<int32_t>(inForm.size()), status);
    return written;
  });
}

bool isPrintableAsciiWithoutBackslash(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~' && c != '\\'; });
}

#if defined(__APPLE__)
// vis(3) as ps calls it, every byte it writes included: a NUL it writes ends ps's line there.
// vis(3)'s worst case, four bytes out for each byte in and a NUL, bounds the output.
std::string visualForm(const std::string& text) {
  std::vector<char> printed(text.size() * 4 + 1);
  const int length = ::strnvis(printed.data(), printed.size(), text.c_str(), VIS_TAB | VIS_NL | VIS_NOSLASH);
  if (length < 0) throwSystemError("strnvis");
  return std::string(printed.data(), static_cast<size_t>(length));
}
#else
// procps's form: a line feed as a space, any other character that is not printable as "?".
std::string procpsForm(const std::string& text) {
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
  return printed;
}
#endif

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

std::vector<std::string> unicodeSpellings(const std::string& text) {
  std::vector<std::string> spellings = {text};
  // ASCII is in every form already.
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }) ||
      !isValidUtf8(text)) {
    return spellings;
  }
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* const composedForm = unorm2_getNFCInstance(&status);
  checkIcu(status, "unorm2_getNFCInstance");
  const UNormalizer2* const decomposedForm = unorm2_getNFDInstance(&status);
  checkIcu(status, "unorm2_getNFDInstance");
  for (const UNormalizer2* form : {composedForm, decomposedForm}) {
    std::string spelling = normalized(form, text);
    if (std::find(spellings.begin(), spellings.end(), spelling) == spellings.end()) {
      spellings.push_back(std::move(spelling));
    }
  }
  return spellings;
}

std::vector<std::string> processStatusForms(const std::string& text) {
  // Printable ASCII but the backslash comes out as it is on every platform and in every mode: most
  // paths, at no cost.
  if (isPrintableAsciiWithoutBackslash(text)) return {text};
  std::vector<std::string> forms;
  // A form that holds a NUL is not one: ps's line ends at the NUL, short of the text's end.
  const auto add = [&forms](std::string form) {
    if (form.find('\0') == std::string::npos && std::find(forms.begin(), forms.end(), form) == forms.end()) {
      forms.push_back(std::move(form));
    }
  };
#if defined(__APPLE__)
  const std::vector<std::string> spellings = unicodeSpellings(text);
  const ToolCharacterTypeScope toolLocale;
  // A byte that is never part of UTF-8: on ps's line, it puts the whole line in byte mode. Its own
  // output is the same wherever it stands (only VIS_CSTYLE looks at the next character), and is cut
  // off again.
  const std::string strayByte = "\xFF";
  const std::string strayByteForm = visualForm(strayByte);
  for (const std::string& spelling : spellings) {
    add(visualForm(spelling));
    if (std::string before = visualForm(spelling + strayByte); endsWith(before, strayByteForm)) {
      before.resize(before.size() - strayByteForm.size());
      add(std::move(before));
    }
    if (std::string after = visualForm(strayByte + spelling); startsWith(after, strayByteForm)) {
      add(after.substr(strayByteForm.size()));
    }
  }
#else
  const ToolCharacterTypeScope toolLocale;
  add(procpsForm(text));
#endif
  return forms;
}

}  // namespace vellorin
