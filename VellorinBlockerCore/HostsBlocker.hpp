// The hosts-file block: a marked block mapping blocked host names to nowhere, and its removal.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "VellorinBlockerCore/FileSystem.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"

namespace vellorin {

// What the hosts file holds when there is none: the two loopback lines.
inline constexpr std::string_view defaultHostsContent = "127.0.0.1\tlocalhost\n::1\tlocalhost\n";

// Writes and removes a block framed by marker lines at the end of paths.hostsPath, keeping a copy
// of the file as it was before the first apply at paths.hostsBackupPath(). The hosts text is
// handled as bytes: the markers and line breaks are fixed byte sequences, so a file that is not
// UTF-8 is edited all the same. Every failure is the file layer's std::system_error, unchanged.
struct HostsBlocker {
  HelperPaths paths;
  std::shared_ptr<FileSystem> fileManager;
  std::string beginMarker = "# BEGIN VELLORIN BLOCK";
  std::string endMarker = "# END VELLORIN BLOCK";

  HostsBlocker(HelperPaths helperPaths, std::shared_ptr<FileSystem> fileManager_);

  // Backs the hosts file up unless a backup exists, then rewrites it as its content without any
  // earlier block, trimmed, an empty line, and the new block ended by a line feed. A missing hosts
  // file counts as the default content (and is not backed up).
  void apply(const std::vector<std::string>& domains, const std::string& sessionID) const;

  // Puts the backup back over the hosts file in one rename; without a backup, rewrites the hosts
  // file with every complete block cut out, when there was one to cut, or writes the default
  // content when it is missing. A hosts file that is a symbolic link stays one: the file it leads
  // to is replaced (as apply does too).
  void restore() const;

  // Whether the hosts file holds the begin marker anywhere. False when it is missing or unreadable.
  bool containsBlock() const;

  // The block alone: the begin marker and session id, a "0.0.0.0" and a "::" line per domain in
  // the given order, the end marker; joined by line feeds, no line feed after the last line.
  std::string renderBlock(const std::vector<std::string>& domains, const std::string& sessionID) const;

  // Removes every complete block (begin marker up to the next end marker), each with the line
  // break just before and just after it. A begin marker without a later end marker stops the
  // removal there. Where the block stood between two lines of text with no empty line around it,
  // the break after it is kept so the two lines are not joined.
  std::string stripBlock(std::string_view text) const;

  bool operator==(const HostsBlocker&) const = default;
};

}  // namespace vellorin
