// The shared directories: opened without following links, opened to every user, and the files in them.
#include "VellorinBlockerCore/SharedDirectories.hpp"

#include <limits.h>
#include <sys/stat.h>

#include <utility>

#include "VellorinBlockerCore/Limits.hpp"
#include "VellorinBlockerCore/Models.hpp"

namespace vellorin {
namespace {

// Rewritten every pass, so neither the marker nor a response is synced to disk.
constexpr WriteOptions sharedFileOptions{.mode = 0644, .durable = false};

std::string lastComponent(const std::filesystem::path& path) { return path.filename().string(); }

}  // namespace

SharedDirectories::SharedDirectories(HelperPaths paths, std::shared_ptr<FileSystem> fileManager)
    : paths_(std::move(paths)), fileManager_(std::move(fileManager)) {}

SharedDirectories::Open::Open(const SharedDirectories& owner, UniqueFd parent, UniqueFd commands)
    : owner_(owner), parent_(std::move(parent)), commands_(std::move(commands)) {}

// The grandparent of the command directory belongs to the administrator's configuration: links on
// the way there are followed, as for any other configured location.
UniqueFd SharedDirectories::openGrandparent(bool create) const {
  auto grandparent = paths_.commandParentDirectory().parent_path();
  if (grandparent.empty()) grandparent = "/";
  if (create) fileManager_->createDirectories(grandparent);
  return fileManager_->openDirectory(grandparent);
}

UniqueFd SharedDirectories::openRealDirectoryAt(int parent, const std::filesystem::path& path) const {
  const std::string name = lastComponent(path);
  for (int attempt = 0; attempt < 3; ++attempt) {
    switch (fileManager_->entryKindAt(parent, name)) {
      case EntryKind::missing:
        fileManager_->makeDirectoryAt(parent, name);
        break;
      case EntryKind::symbolicLink:
        fileManager_->removeEntryAt(parent, name);
        break;
      case EntryKind::other:
        // Most likely a misconfiguration, and never ours to delete.
        throwSystemError(ENOTDIR, "shared directory " + path.string() + " is not a directory");
      case EntryKind::directory:
        if (UniqueFd fd = fileManager_->openDirectoryAt(parent, name)) return fd;
        break;  // swapped for something else between the look and the open: look again
    }
  }
  throwSystemError(ELOOP, "shared directory " + path.string() + " keeps changing");
}

// 0777, keeping a sticky bit: an administrator who puts the command directory under /tmp must not
// take /tmp's protection away. A directory already at that mode is left alone: the daemon prepares
// five times a second, and a mode change is a file-system event that indexing and backup services
// watch. The mode is read from the open descriptor, so the directory judged is the one changed.
void SharedDirectories::openToEveryone(int directory) const {
  const mode_t current = fileManager_->modeOf(directory);
  const mode_t wanted = 0777 | (current & S_ISVTX);
  if (current != wanted) fileManager_->setMode(directory, wanted);
}

// Only an empty directory goes: the file layer removes a directory with unlinkat's AT_REMOVEDIR
// alone, which refuses one with anything in it. A user who made it at our name loses nothing, and
// nothing in a place users can rearrange is ever walked.
bool SharedDirectories::clearEmptyDirectoryAt(int directory, const std::string& name) const {
  if (fileManager_->entryKindAt(directory, name) != EntryKind::directory) return true;
  return fileManager_->removeEntryAt(directory, name);
}

SharedDirectories::Open SharedDirectories::prepare() const {
  const auto parentPath = paths_.commandParentDirectory();
  if (lastComponent(parentPath).empty() || lastComponent(paths_.commandDirectory).empty()) {
    throwSystemError(EINVAL,
                     "command directory " + paths_.commandDirectory.string() + " must not sit directly under /");
  }
  UniqueFd parent = openRealDirectoryAt(openGrandparent(true).get(), parentPath);
  UniqueFd commands = openRealDirectoryAt(parent.get(), paths_.commandDirectory);
  openToEveryone(parent.get());
  openToEveryone(commands.get());
  // The marker is looked at without following its name, and read only when it is a plain file, so
  // a planted link, FIFO or device is replaced, never followed or waited on. A hard link to it, a
  // file of another owner or a wrong mode fails the check as a wrong content does. A marker that
  // passes is left as it is; one that a user replaces just after the check is mended by the next
  // pass, as a rewritten one would be.
  const std::string markerName = lastComponent(paths_.commandProtocolPath());
  const std::string marker = std::string(VellorinHelperProtocolVersion) + "\n";
  if (!fileManager_->fileIsExactlyAt(parent.get(), markerName, marker, *sharedFileOptions.mode)) {
    // A directory with something in it stays, and the rename below fails with the reason.
    clearEmptyDirectoryAt(parent.get(), markerName);
    fileManager_->writeFileAtomicallyAt(parent.get(), markerName, marker, sharedFileOptions);
  }
  return Open(*this, std::move(parent), std::move(commands));
}

UniqueFd SharedDirectories::openExistingParent() const {
  UniqueFd grandparent;
  try {
    grandparent = openGrandparent(false);
  } catch (const std::system_error& error) {
    if (error.code() == std::errc::no_such_file_or_directory) return UniqueFd();
    throw;
  }
  return fileManager_->openDirectoryAt(grandparent.get(), lastComponent(paths_.commandParentDirectory()));
}

void SharedDirectories::removeEventLog() const {
  if (const UniqueFd parent = openExistingParent()) {
    fileManager_->removeEntryAt(parent.get(), lastComponent(paths_.blockedApplicationEventsPath()));
  }
}

void SharedDirectories::removeStaleTemporaryFiles(std::chrono::seconds minimumAge) const {
  try {
    const UniqueFd parent = openExistingParent();
    if (!parent) return;
    fileManager_->removeStaleTemporaryFilesAt(parent.get(), minimumAge);
    if (const UniqueFd commands = fileManager_->openDirectoryAt(parent.get(), lastComponent(paths_.commandDirectory))) {
      fileManager_->removeStaleTemporaryFilesAt(commands.get(), minimumAge);
    }
  } catch (const std::exception&) {
    // Housekeeping only: whatever stays is tried again at the next start.
  }
}

std::vector<std::string> SharedDirectories::Open::commandDirectoryEntries() const {
  return owner_.fileManager_->listDirectoryAt(commands_.get());
}

std::optional<std::string> SharedDirectories::Open::readRequest(const std::string& name) const {
  return owner_.fileManager_->readUntrustedFileAt(commands_.get(), name, limits::untrustedFileSizeCap);
}

bool SharedDirectories::Open::responseCanBeWritten(const std::string& name) const {
  return name.size() <= NAME_MAX && owner_.clearEmptyDirectoryAt(commands_.get(), name);
}

void SharedDirectories::Open::writeResponse(const std::string& name, std::string_view bytes) const {
  owner_.fileManager_->writeFileAtomicallyAt(commands_.get(), name, bytes, sharedFileOptions);
}

bool SharedDirectories::Open::removeFromCommandDirectory(const std::string& name) const {
  return owner_.fileManager_->removeEntryAt(commands_.get(), name);
}

std::optional<std::string> SharedDirectories::Open::readEventLog() const {
  return owner_.fileManager_->readUntrustedFileAt(
      parent_.get(), lastComponent(owner_.paths_.blockedApplicationEventsPath()), limits::untrustedFileSizeCap);
}

void SharedDirectories::Open::writeEventLog(std::string_view bytes) const {
  const std::string name = lastComponent(owner_.paths_.blockedApplicationEventsPath());
  // A directory with something in it stays, and the rename fails with the reason.
  owner_.clearEmptyDirectoryAt(parent_.get(), name);
  owner_.fileManager_->writeFileAtomicallyAt(parent_.get(), name, bytes, WriteOptions{.mode = 0644, .durable = true});
}

}  // namespace vellorin
