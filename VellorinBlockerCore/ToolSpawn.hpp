// Starting a tool: posix_spawn by absolute path, its output on one descriptor, a process group of
// its own, the ordinary signal dispositions, and nothing of the helper's but the standard streams.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "VellorinBlockerCore/SystemCalls.hpp"

namespace vellorin {

// Both ends close-on-exec and above the standard streams: the child gets the write end only
// through the dup2 onto its standard output and standard error.
struct OutputPipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};
OutputPipe makeOutputPipe();

// /dev/null for writing, close-on-exec and above the standard streams: the output of a tool that
// nobody reads.
UniqueFd openDiscardedOutput();

// Starts the tool (never searched for, never through a shell) with `outputFd` as its standard
// output and standard error, in a process group that it leads, with the ordinary dispositions of
// the signals the helper handles or ignores and an empty signal mask. Returns its process id;
// throws std::system_error when it cannot be started. The caller owns the child from then on.
pid_t spawnTool(const std::string& executable, const std::vector<std::string>& arguments, int outputFd);

}  // namespace vellorin
