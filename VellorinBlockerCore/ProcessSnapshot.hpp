// The process snapshot: the process status tool's run and its parser, the owner of a process, and
// the forms in which the tool prints a text in a command line.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VellorinBlockerCore/CommandRunner.hpp"

namespace vellorin {

struct RunningProcess {
  int32_t pid = 0;
  int32_t ppid = 0;
  std::string command;

  RunningProcess(int32_t pid_, int32_t ppid_, std::string command_)
      : pid(pid_), ppid(ppid_), command(std::move(command_)) {}
  RunningProcess(int32_t pid_, std::string command_) : pid(pid_), command(std::move(command_)) {}
  bool operator==(const RunningProcess&) const = default;
};

using RunningProcessesProvider = std::function<std::vector<RunningProcess>()>;

// The effective user id of a running process, or nothing when it cannot be told (it has gone).
using ProcessOwnerProvider = std::function<std::optional<uid_t>(int32_t pid)>;

// "/bin/ps" "-axo" "pid=,ppid=,command=" through the runner, within limits::snapshotTimeLimit,
// parsed. Throws what the runner throws when the tool cannot be started or outlives its limit; a
// tool that exits with a non-zero status fails with commandFailed naming the tool and its status,
// with at most one short line of what it printed that is not a process: never the listing, which
// holds every user's command lines and would end up in a response file every user can read.
std::vector<RunningProcess> takeProcessSnapshot(const ProcessRunner& processRunner);

// Parses the snapshot tool's output line by line; lines that cannot be parsed are skipped. A
// command line is kept as its bytes, valid UTF-8 or not: any process can put any bytes into its
// arguments, and must not thereby escape its target.
std::vector<RunningProcess> parseProcessSnapshot(std::string_view output);

// The effective user id of a process from the process table (Linux: /proc; macOS: sysctl).
std::optional<uid_t> processOwner(int32_t pid);

// The forms in which the process status tool may print a text in a command line (see
// processStatusForms).
using PrintedForms = std::function<std::vector<std::string>(const std::string& text)>;

// The text, then its composed (NFC) and decomposed (NFD) Unicode forms where they differ from it
// and from each other: the spellings that macOS's file systems take for one name. A text that is
// not well-formed UTF-8 has no other spelling. Throws std::runtime_error when ICU fails (it runs
// out of memory).
std::vector<std::string> unicodeSpellings(const std::string& text);

// The forms in which the process status tool prints a text in a command line, under the tools'
// character locale, each once and none holding a NUL. macOS's ps joins a process's arguments with
// spaces and passes the line once through vis(3) with VIS_TAB | VIS_NL | VIS_NOSLASH, so the
// system's own strnvis gives its forms on every macOS version (which characters it escapes changed
// between versions), for each of the text's unicodeSpellings: the form on a line that decodes,
// and the two forms on a line in byte mode, where a byte that does not decode has vis(3) print
// each character before it as the bytes of its code point and take each byte after it as a
// character of its own. A character whose code point has a zero low byte writes a NUL there, which
// ends the line: a text with one has no form before such a byte. procps prints a line feed as a
// space and every other character that is not printable as "?", and Linux keeps names as bytes:
// there, the text has that one form. Throws std::system_error when strnvis fails.
std::vector<std::string> processStatusForms(const std::string& text);

}  // namespace vellorin
