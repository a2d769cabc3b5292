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

SharedDirectories::SharedDirectories(HelperPaths paths, std::shared_ptr<FileSystem> fileSystem)
    : paths_(std::move(paths)), fileSystem_(std::move(fileSystem)) {}

SharedDirectories::Open::Open(const SharedDirectories& owner, UniqueFd parent, UniqueFd commands)
    : owner_(owner), parent_(std::move(parent)), commands_(std::move(commands)) {}

// The grandparent of the command directory belongs to the administrator's configuration: links on
// the way there are followed, as for any other configured location.
UniqueFd SharedDirectories::openGrandparent(bool create) const {
  auto grandparent = paths_.commandParentDirectory().parent_path();
  if (grandparent.empty()) grandparent = "/";
  if (create) fileSystem_->createDirectories(grandparent);
  return fileSystem_->openDirectory(grandparent);
}

UniqueFd SharedDirectories::openRealDirectoryAt(int parent, const std::filesystem::path& path) const {
  const std::string name = lastComponent(path);
  for (int attempt = 0; attempt < 3; ++attempt) {
    switch (fileSystem_->entryKindAt(parent, name)) {
      case EntryKind::missing:
        fileSystem_->makeDirectoryAt(parent, name);
        break;
      case EntryKind::symbolicLink:
        fileSystem_->removeEntryAt(parent, name);
        break;
      case EntryKind::other:
        // Most likely a misconfiguration, and never ours to delete.
        throwSystemError(ENOTDIR, "shared directory " + path.string() + " is not a directory");
      case EntryKind::directory:
        if (UniqueFd fd = fileSystem_->openDirectoryAt(parent, name)) return fd;
        break;  // swapped for something else between the look and the open: look again
    }
  }
  throwSystemError(ELOOP, "shared directory " + path.string() + " keeps changing");
}

// 0777, keeping a sticky bit: an administrator who puts the command directory under /tmp must not
// take /tmp's protection away.
void SharedDirectories::openToEveryone(int directory) const {
  fileSystem_->setMode(directory, 0777 | (fileSystem_->modeOf(directory) & S_ISVTX));
}

SharedDirectories::Open SharedDirectories::prepare() const {
  const auto parentPath = paths_.commandParentDirectory();
  if (lastComponent(parentPath).empty() || lastComponent(paths_.commandDirectory).empty()) {
    throwSystemError(EINVAL, "command directory " + paths_.commandDirectory.string() + " must not sit directly under /");
  }
  UniqueFd parent = openRealDirectoryAt(openGrandparent(true).get(), parentPath);
  UniqueFd commands = openRealDirectoryAt(parent.get(), paths_.commandDirectory);
  openToEveryone(parent.get());
  openToEveryone(commands.get());
  fileSystem_->writeFileAtomicallyAt(parent.get(), lastComponent(paths_.commandProtocolPath()),
                                     std::string(VellorinHelperProtocolVersion) + "\n", sharedFileOptions);
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
  return fileSystem_->openDirectoryAt(grandparent.get(), lastComponent(paths_.commandParentDirectory()));
}

void SharedDirectories::removeEventLog() const {
  if (const UniqueFd parent = openExistingParent()) {
    fileSystem_->removeEntryAt(parent.get(), lastComponent(paths_.blockedApplicationEventsPath()));
  }
}

void SharedDirectories::removeStaleTemporaryFiles(std::chrono::seconds minimumAge) const {
  try {
    const UniqueFd parent = openExistingParent();
    if (!parent) return;
    fileSystem_->removeStaleTemporaryFilesAt(parent.get(), minimumAge);
    if (const UniqueFd commands = fileSystem_->openDirectoryAt(parent.get(), lastComponent(paths_.commandDirectory))) {
      fileSystem_->removeStaleTemporaryFilesAt(commands.get(), minimumAge);
    }
  } catch (const std::exception&) {
    // Housekeeping only: whatever stays is tried again at the next start.
  }
}

std::vector<std::string> SharedDirectories::Open::commandDirectoryEntries() const {
  return owner_.fileSystem_->listDirectoryAt(commands_.get());
}

std::optional<std::string> SharedDirectories::Open::readRequest(const std::string& name) const {
  return owner_.fileSystem_->readUntrustedFileAt(commands_.get(), name, limits::untrustedFileSizeCap);
}

bool SharedDirectories::Open::responseCanBeWritten(const std::string& name) const {
  if (name.size() > NAME_MAX) return false;
  if (owner_.fileSystem_->entryKindAt(commands_.get(), name) != EntryKind::directory) return true;
  return owner_.fileSystem_->removeEntryAt(commands_.get(), name);
}

void SharedDirectories::Open::writeResponse(const std::string& name, std::string_view bytes) const {
  owner_.fileSystem_->writeFileAtomicallyAt(commands_.get(), name, bytes, sharedFileOptions);
}

bool SharedDirectories::Open::removeFromCommandDirectory(const std::string& name) const {
  return owner_.fileSystem_->removeEntryAt(commands_.get(), name);
}

std::optional<std::string> SharedDirectories::Open::readEventLog() const {
  return owner_.fileSystem_->readUntrustedFileAt(parent_.get(), lastComponent(owner_.paths_.blockedApplicationEventsPath()),
                                                  limits::untrustedFileSizeCap);
}

void SharedDirectories::Open::writeEventLog(std::string_view bytes) const {
  owner_.fileSystem_->writeFileAtomicallyAt(parent_.get(), lastComponent(owner_.paths_.blockedApplicationEventsPath()),
                                            bytes, WriteOptions{.mode = 0644, .durable = true});
}

}  // namespace vellorin
