// The command directory and its parent: the two directories the helper shares with every local
// user, and the files it keeps there (requests and responses, the protocol marker, the event log).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VellorinBlockerCore/FileSystem.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"

namespace vellorin {

// Every local user can write both directories while the helper runs as root, so they are reached
// only through descriptors opened without following a link at either name: a user who swaps a
// directory for a link, or plants a link, FIFO or hard link under a name the helper uses, cannot
// steer its reads, writes or mode changes elsewhere. Failures are the file layer's, unchanged.
class SharedDirectories {
 public:
  // Both directories, opened by prepare(). Everything here works on those descriptors.
  class Open {
   public:
    // The names in the command directory, in no particular order.
    std::vector<std::string> commandDirectoryEntries() const;
    // A request file's bytes, refused (RefusedFileError) unless it is a plain, single-linked file
    // within the size cap; nothing when the name has gone.
    std::optional<std::string> readRequest(const std::string& name) const;
    // A response is written by renaming a temporary file over its name: impossible when the name is
    // too long, or when a directory with something in it stands there. An empty directory in the
    // way is removed.
    bool responseCanBeWritten(const std::string& name) const;
    // Writes a response atomically, mode 0644.
    void writeResponse(const std::string& name, std::string_view bytes) const;
    // Removes one name from the command directory; a directory only when empty.
    bool removeFromCommandDirectory(const std::string& name) const;
    // The event log's bytes, refused like a request when it is not a plain file; nothing when there
    // is no log.
    std::optional<std::string> readEventLog() const;
    // Replaces the event log atomically and durably, mode 0644. An empty directory at its name is
    // removed first; one with something in it stays, and the write fails.
    void writeEventLog(std::string_view bytes) const;

   private:
    friend class SharedDirectories;
    Open(const SharedDirectories& owner, UniqueFd parent, UniqueFd commands);

    const SharedDirectories& owner_;
    UniqueFd parent_;
    UniqueFd commands_;
  };

  SharedDirectories(HelperPaths paths, std::shared_ptr<FileSystem> fileManager);

  // Makes sure the command directory and its parent exist as real directories: a missing one is
  // created (with the configured folders above them), a symbolic link in place of either is
  // removed, never followed, and replaced by a directory; anything else in their place fails
  // with an error naming the path. Sets both to mode 0777, keeping a sticky bit they have, and
  // replaces the protocol marker in the parent unless it is already a plain file of the effective
  // user with one link, mode 0644 and the protocol version. A directory already at its mode and a
  // marker already right are not touched, so a pass with nothing to mend writes nothing. An empty
  // directory at the marker's name is removed first; one with something in it stays, and prepare
  // fails. A command directory directly under "/" is refused: "/" is never opened to every user.
  Open prepare() const;

  // Removes the event log if there is one. Creates nothing: a missing parent, or a link or other
  // non-directory in its place, holds no event log of ours.
  void removeEventLog() const;

  // Removes the temporary files older than `minimumAge` that a killed helper left in either
  // directory. Creates nothing, follows no link at either name, and fails never.
  void removeStaleTemporaryFiles(std::chrono::seconds minimumAge) const;

 private:
  UniqueFd openGrandparent(bool create) const;
  // The parent as it stands, created by nobody: empty when it is missing or not a real directory.
  UniqueFd openExistingParent() const;
  UniqueFd openRealDirectoryAt(int parent, const std::filesystem::path& path) const;
  void openToEveryone(int directory) const;
  // Removes an empty directory under the name, so that a file of ours can be renamed there. False
  // when a directory with something in it stays.
  bool clearEmptyDirectoryAt(int directory, const std::string& name) const;

  HelperPaths paths_;
  std::shared_ptr<FileSystem> fileManager_;
};

}  // namespace vellorin
