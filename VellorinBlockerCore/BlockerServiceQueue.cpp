// BlockerService: the command directory queue, shared with every local user.
//
// The command directory and its parent are writable by everyone while the helper runs as root, so
// every step here works on descriptors opened without following a link at either name: a user who
// swaps a directory for a link, or plants a link, FIFO or hard link under a request name, cannot
// steer the helper's reads, writes or mode changes elsewhere.
#include "VellorinBlockerCore/BlockerService.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {
namespace {

constexpr std::string_view requestSuffix = ".request.json";
constexpr std::string_view responseSuffix = ".response.json";
constexpr const char* commandQueueLockName = "command-queue.lock";

// Sets a shared directory to 0777, keeping a sticky bit it already has (an administrator may put
// the command directory under /tmp, which must keep its protection).
void openToEveryone(int directory, const std::filesystem::path& path) {
  struct stat status {};
  if (::fstat(directory, &status) != 0) throwSystemError("fstat " + path.string());
  if (::fchmod(directory, 0777 | (status.st_mode & S_ISVTX)) != 0) throwSystemError("fchmod " + path.string());
}

// Opens `name` inside `parent` as a real directory, creating it when missing. A symbolic link
// found there is removed (never followed) and replaced by a directory; any other non-directory is
// left alone and reported.
UniqueFd openRealDirectoryAt(int parent, const std::string& name, const std::filesystem::path& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    struct stat status {};
    if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) throwSystemError("fstatat " + path.string());
      if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) throwSystemError("mkdir " + path.string());
      continue;
    }
    if (S_ISLNK(status.st_mode)) {
      if (::unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT) {
        throwSystemError("remove the symbolic link at " + path.string());
      }
      continue;
    }
    if (!S_ISDIR(status.st_mode)) {
      throwSystemError(ENOTDIR, "shared directory " + path.string() + " is not a directory");
    }
    UniqueFd fd(retryOnInterrupt(
        [&] { return ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (fd) return fd;
    // Swapped for something else between the check and the open: look again.
    if (errno != ELOOP && errno != ENOTDIR && errno != ENOENT) throwSystemError("open " + path.string());
  }
  throwSystemError(ELOOP, "shared directory " + path.string() + " keeps changing");
}

// Opens an existing directory entry without following a link at its name; nothing when it is
// missing, a link or not a directory.
UniqueFd openExistingDirectoryAt(int parent, const std::string& name) {
  return UniqueFd(retryOnInterrupt(
      [&] { return ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
}

// The grandparent of the command directory belongs to the administrator's configuration: links on
// the way there are followed, as for any other configured location.
UniqueFd openGrandparent(FileSystem& fileSystem, const std::filesystem::path& parent, bool create) {
  auto grandparent = parent.parent_path();
  if (grandparent.empty()) grandparent = "/";
  if (create) fileSystem.createDirectories(grandparent);
  return fileSystem.openDirectory(grandparent);
}

std::string lastComponent(const std::filesystem::path& path) { return path.filename().string(); }

// A response is written by renaming a temporary file over its name: impossible when the name is
// too long, or when a directory stands there (an empty one is cleared away first).
bool responseCanBeWritten(FileSystem& fileSystem, int directory, const std::string& responseName) {
  if (responseName.size() > NAME_MAX) return false;
  struct stat status {};
  if (::fstatat(directory, responseName.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode)) {
    return true;
  }
  return fileSystem.removeEntryAt(directory, responseName);
}

}  // namespace

BlockerService::SharedDirectories BlockerService::openSharedDirectories() {
  const auto parentPath = paths_.commandParentDirectory();
  const auto commandPath = paths_.commandDirectory;
  if (lastComponent(parentPath).empty() || lastComponent(commandPath).empty()) {
    // Its parent would be "/", which is never opened to every user.
    throwSystemError(EINVAL, "command directory " + commandPath.string() + " must not sit directly under /");
  }
  const UniqueFd grandparent = openGrandparent(*fileManager_, parentPath, true);
  SharedDirectories directories;
  directories.parent = openRealDirectoryAt(grandparent.get(), lastComponent(parentPath), parentPath);
  directories.commands = openRealDirectoryAt(directories.parent.get(), lastComponent(commandPath), commandPath);
  openToEveryone(directories.parent.get(), parentPath);
  openToEveryone(directories.commands.get(), commandPath);
  const std::string marker = std::string(VellorinHelperProtocolVersion) + "\n";
  // Rewritten every pass, so it is not synced; the mode is set on the descriptor before the rename.
  fileManager_->writeFileAtomicallyAt(directories.parent.get(), lastComponent(paths_.commandProtocolPath()), marker,
                                      WriteOptions{0644, false});
  return directories;
}

void BlockerService::prepareCommandDirectory() { openSharedDirectories(); }

void BlockerService::removeEventLog() {
  const auto parentPath = paths_.commandParentDirectory();
  UniqueFd grandparent;
  try {
    grandparent = openGrandparent(*fileManager_, parentPath, false);
  } catch (const std::system_error& error) {
    if (error.code() == std::errc::no_such_file_or_directory) return;
    throw;
  }
  // A link or non-directory in place of the parent holds no event log of ours.
  const UniqueFd parent = openExistingDirectoryAt(grandparent.get(), lastComponent(parentPath));
  if (!parent) return;
  fileManager_->removeEntryAt(parent.get(), lastComponent(paths_.blockedApplicationEventsPath()));
}

bool BlockerService::lockCommandQueue() {
  if (!commandQueueLock_) {
    // The lock only keeps two helper processes from answering one request twice. A process that
    // cannot create it (an unprivileged run outside dry-run mode may not write the state directory,
    // and can change nothing anyway; a full disk) still answers the requests, without it.
    try {
      fileManager_->createDirectories(paths_.stateDirectory);
    } catch (const std::system_error&) {
      return false;
    }
    const auto path = appendingComponent(paths_.stateDirectory, commandQueueLockName);
    commandQueueLock_ = UniqueFd(retryOnInterrupt(
        [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600); }));
    if (!commandQueueLock_) return false;
  }
  if (retryOnInterrupt([&] { return ::flock(commandQueueLock_.get(), LOCK_EX); }) != 0) {
    throwSystemError("lock the command queue");
  }
  return true;
}

void BlockerService::processPendingCommands() {
  const SharedDirectories directories = openSharedDirectories();
  std::vector<std::string> requests;
  for (auto& name : fileManager_->listDirectoryAt(directories.commands.get())) {
    if (endsWith(name, requestSuffix)) requests.push_back(std::move(name));
  }
  if (requests.empty()) return;
  std::sort(requests.begin(), requests.end());  // byte order

  struct Unlock {
    int fd;
    ~Unlock() {
      if (fd >= 0) ::flock(fd, LOCK_UN);
    }
  } unlock{lockCommandQueue() ? commandQueueLock_.get() : -1};
  for (const auto& name : requests) processCommandRequest(directories.commands.get(), name);
}

void BlockerService::processCommandRequest(int commandDirectory, const std::string& fileName) {
  const std::string fileID = fileName.substr(0, fileName.size() - requestSuffix.size());
  const std::string responseName = fileID + std::string(responseSuffix);
  if (!responseCanBeWritten(*fileManager_, commandDirectory, responseName)) {
    // Running the command would repeat it every pass, since its answer could never be written and
    // the request would stay. The request is dropped unread.
    fileManager_->removeEntryAt(commandDirectory, fileName);
    return;
  }

  HelperCommandResponse response;
  try {
    const auto bytes = fileManager_->readUntrustedFileAt(commandDirectory, fileName, untrustedFileSizeCap);
    if (!bytes) return;  // Another helper process answered it a moment ago.
    response = answerRequest(*bytes);
  } catch (...) {
    response = HelperCommandResponse{replacingInvalidUtf8(fileID), false, std::nullopt,
                                     replacingInvalidUtf8(failureDescription(std::current_exception()))};
  }

  fileManager_->writeFileAtomicallyAt(commandDirectory, responseName, encodeDocument(response.toJson()),
                                      WriteOptions{0644, false});
  try {
    fileManager_->removeEntryAt(commandDirectory, fileName);
  } catch (...) {
    // The request is answered again in the next pass, overwriting its response.
  }
}

HelperCommandResponse BlockerService::answerRequest(const std::string& requestBytes) {
  const auto request = decodeDocument<HelperCommandRequest>(requestBytes);
  const auto requireSession = [&]() -> const HelperSession& {
    if (!request.session) throw HelperCommandError::missingArgument("session");
    return *request.session;
  };
  HelperStatus result;
  switch (request.command) {
    case HelperCommandKind::apply:
      result = apply(requireSession());
      break;
    case HelperCommandKind::update:
      result = update(requireSession());
      break;
    case HelperCommandKind::cleanup:
      result = cleanupIfExpired();
      break;
    case HelperCommandKind::restore:
      restore(request.force.value_or(false), "Blocker restored.");
      result = status("Blocker restored.");
      break;
  }
  return HelperCommandResponse{request.id, true, result, std::nullopt};
}

}  // namespace vellorin
