// The process snapshot: the process status tool's run and its parser, the owner of a process, and
// the form in which the tool prints a text in a command line.
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

  RunningProcess(int32_t pid_, int32_t ppid_, std::string command_) : pid(pid_), ppid(ppid_), command(std::move(command_)) {}
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

// The form in which the process status tool prints a text (see processStatusForm).
using PrintedForm = std::function<std::string(const std::string& text)>;

// The text as the process status tool prints it in a command line, under the tools' character
// locale. macOS's ps passes each command line through strvis(3) with VIS_TAB | VIS_NL |
// VIS_NOSLASH, so the system's own strvis gives its form on every macOS version (which characters
// it escapes changed between versions). procps prints a line feed as a space and every other
// character that is not printable as "?".
std::string processStatusForm(const std::string& text);

}  // namespace vellorin
