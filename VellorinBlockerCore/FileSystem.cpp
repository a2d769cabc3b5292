// The real file system: atomic replacement, refusal of planted files, one-name removal.
#include "VellorinBlockerCore/FileSystem.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string_view>
#include <thread>

namespace vellorin {
namespace {

constexpr mode_t defaultFileMode = 0644;

std::string describe(const char* call, const std::filesystem::path& path) {
  return std::string(call) + " " + path.string();
}

void syncDescriptor(int fd, const std::string& what) {
#if defined(__APPLE__)
  // fsync on macOS does not reach the platter; F_FULLFSYNC does (and falls back where unsupported).
  if (::fcntl(fd, F_FULLFSYNC) == 0) return;
#endif
  if (retryOnInterrupt([&] { return ::fsync(fd); }) != 0) throwSystemError("fsync " + what);
}

// Reads an open regular file to its end, refusing to grow past `cap` bytes.
std::string readAll(int fd, size_t cap, const std::string& what) {
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t count = retryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
    if (count < 0) throwSystemError("read " + what);
    if (count == 0) return content;
    if (content.size() + static_cast<size_t>(count) > cap)
      throw RefusedFileError(what + " is larger than the size limit.");
    content.append(buffer, static_cast<size_t>(count));
  }
}

constexpr std::string_view temporaryPrefix = ".vellorin-tmp-";
constexpr size_t temporaryRandomDigits = 16;

std::string temporaryName() {
  unsigned char bytes[temporaryRandomDigits / 2];
  fillRandomBytes(bytes, sizeof bytes);
  return std::string(temporaryPrefix) + hexDigits(bytes, sizeof bytes);
}

bool isTemporaryName(std::string_view name) {
  if (name.size() != temporaryPrefix.size() + temporaryRandomDigits ||
      name.substr(0, temporaryPrefix.size()) != temporaryPrefix) {
    return false;
  }
  name.remove_prefix(temporaryPrefix.size());
  return name.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Splits a path into its parent directory and final name for descriptor-relative work.
std::pair<std::filesystem::path, std::string> parentAndName(const std::filesystem::path& path) {
  auto parent = path.parent_path();
  if (parent.empty()) parent = ".";
  return {parent, path.filename().string()};
}

UniqueFd openDirectoryByPath(const std::filesystem::path& path) {
  UniqueFd fd(retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!fd) throwSystemError(describe("open", path));
  return fd;
}

// An open regular file and its status, or nothing when no entry has the path; anything else there
// is an error.
std::optional<std::pair<UniqueFd, struct stat>> openRegularFile(const std::filesystem::path& path) {
  UniqueFd fd(retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
  if (!fd) {
    if (errno == ENOENT) return std::nullopt;
    throwSystemError(describe("open", path));
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) throwSystemError(describe("fstat", path));
  if (!S_ISREG(status.st_mode)) throwSystemError(S_ISDIR(status.st_mode) ? EISDIR : EINVAL, describe("read", path));
  return std::pair{std::move(fd), status};
}

void writeAtomicallyAt(int directory, const std::string& name, std::string_view bytes, const WriteOptions& options) {
  mode_t mode = defaultFileMode;
  if (options.mode) {
    mode = *options.mode;
  } else {
    struct stat existing {};
    if (::fstatat(directory, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(existing.st_mode)) {
      mode = existing.st_mode & 0777;
    }
  }

  const std::string temporary = temporaryName();
  UniqueFd fd(retryOnInterrupt([&] {
    return ::openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  }));
  if (!fd) throwSystemError("create temporary file for " + name);
  try {
    if (!writeAll(fd.get(), bytes)) throwSystemError("write " + name);
    // The mode is set on the descriptor before the file is visible under its final name.
    if (::fchmod(fd.get(), mode) != 0) throwSystemError("fchmod " + name);
    if (options.durable) syncDescriptor(fd.get(), name);
    if (::close(fd.release()) != 0) throwSystemError("close " + name);
    // rename replaces a link at the target name instead of following it.
    if (::renameat(directory, temporary.c_str(), directory, name.c_str()) != 0) throwSystemError("rename to " + name);
  } catch (...) {
    ::unlinkat(directory, temporary.c_str(), 0);
    throw;
  }
  if (options.durable) syncDescriptor(directory, "directory of " + name);
}

void writeAtomically(const std::filesystem::path& path, std::string_view bytes, const WriteOptions& options) {
  const auto [parent, name] = parentAndName(path);
  writeAtomicallyAt(openDirectoryByPath(parent).get(), name, bytes, options);
}

void copyDurably(const std::filesystem::path& from, const std::filesystem::path& to) {
  const auto source = openRegularFile(from);
  if (!source) throwSystemError(ENOENT, describe("open", from));
  const std::string bytes = readAll(source->first.get(), SIZE_MAX, from.string());
  writeAtomically(to, bytes, WriteOptions{.mode = source->second.st_mode & 0777, .durable = true});
}

bool removeAt(int directory, const std::string& name) {
  if (::unlinkat(directory, name.c_str(), 0) == 0) return true;
  if (errno == ENOENT) return false;
  if (errno != EISDIR && errno != EPERM) throwSystemError("unlink " + name);
  // A directory: removed only when it is empty, never walked.
  struct stat status {};
  if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode)) {
    throwSystemError(EPERM, "unlink " + name);
  }
  if (::unlinkat(directory, name.c_str(), AT_REMOVEDIR) == 0) return true;
  if (errno == ENOTEMPTY || errno == EEXIST || errno == ENOENT) return false;
  throwSystemError("rmdir " + name);
}

std::vector<std::string> listAt(int directory) {
  const int duplicate = ::fcntl(directory, F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) throwSystemError("dup directory descriptor");
  const std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(duplicate), ::closedir);
  if (!stream) {
    ::close(duplicate);
    throwSystemError("fdopendir");
  }
  ::rewinddir(stream.get());
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(stream.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
    errno = 0;
  }
  if (errno != 0) throwSystemError("readdir");
  return names;
}

class RealFileSystem final : public FileSystem {
 public:
  bool exists(const std::filesystem::path& path) override {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
  }

  std::optional<std::string> readFile(const std::filesystem::path& path) override {
    const auto file = openRegularFile(path);
    if (!file) return std::nullopt;
    return readAll(file->first.get(), SIZE_MAX, path.string());
  }

  void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                           const WriteOptions& options) override {
    writeAtomically(path, bytes, options);
  }

  void createDirectories(const std::filesystem::path& path) override {
    std::filesystem::create_directories(path);  // throws filesystem_error, a system_error, with the path
  }

  bool removeFile(const std::filesystem::path& path) override {
    const auto location = parentAndName(path);
    const char* parent = location.first.c_str();
    UniqueFd directory(retryOnInterrupt([&] { return ::open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!directory) {
      if (errno == ENOENT) return false;
      throwSystemError(describe("open", location.first));
    }
    return removeAt(directory.get(), location.second);
  }

  void moveFile(const std::filesystem::path& from, const std::filesystem::path& to) override {
    if (::rename(from.c_str(), to.c_str()) == 0) {
      syncDescriptor(openDirectoryByPath(parentAndName(to).first).get(), to.parent_path().string());
      return;
    }
    if (errno != EXDEV) throwSystemError("rename " + from.string() + " to " + to.string());
    // Another volume: the target is still replaced in one step, by a durable copy beside it.
    copyDurably(from, to);
    if (::unlink(from.c_str()) != 0 && errno != ENOENT) throwSystemError(describe("unlink", from));
  }

  void copyFile(const std::filesystem::path& from, const std::filesystem::path& to) override { copyDurably(from, to); }

  std::vector<std::string> listDirectory(const std::filesystem::path& path) override {
    return listAt(openDirectoryByPath(path).get());
  }

  std::filesystem::path resolvedPath(const std::filesystem::path& path) override {
    std::error_code error;
    auto resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved;
  }

  UniqueFd openDirectory(const std::filesystem::path& path) override { return openDirectoryByPath(path); }

  UniqueFd lockFile(const std::filesystem::path& path, std::chrono::milliseconds wait) override {
    UniqueFd fd(retryOnInterrupt(
        [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600); }));
    if (!fd) throwSystemError(describe("open", path));
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) throwSystemError(describe("fstat", path));
    // Whoever holds a lock that root takes decides when root may go on: only root (or, in dry-run
    // mode, the user running the helper) may own the file or open it at all.
    if (!S_ISREG(status.st_mode) || status.st_nlink != 1 || (status.st_uid != 0 && status.st_uid != ::geteuid()) ||
        (status.st_mode & 077) != 0) {
      throw RefusedFileError(path.string() + " is not a regular file owned by root with mode 0600.");
    }
    if (wait == std::chrono::milliseconds::max()) {
      if (retryOnInterrupt([&] { return ::flock(fd.get(), LOCK_EX); }) != 0) throwSystemError(describe("flock", path));
      return fd;
    }
    // Polled rather than waited for in flock, so that the wait has an end.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(1);
    while (retryOnInterrupt([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
      if (errno != EWOULDBLOCK) throwSystemError(describe("flock", path));
      if (std::chrono::steady_clock::now() >= deadline) {
        throw LockTimeoutError(
            "Another helper process held " + path.string() + " for " +
            std::to_string(static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(wait).count())) +
            " seconds; nothing was changed.");
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
    return fd;
  }

  EntryKind entryKindAt(int directory, const std::string& name) override {
    struct stat status {};
    if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return EntryKind::missing;
      throwSystemError("fstatat " + name);
    }
    if (S_ISDIR(status.st_mode)) return EntryKind::directory;
    return S_ISLNK(status.st_mode) ? EntryKind::symbolicLink : EntryKind::other;
  }

  void makeDirectoryAt(int directory, const std::string& name) override {
    if (::mkdirat(directory, name.c_str(), 0777) != 0 && errno != EEXIST) throwSystemError("mkdir " + name);
  }

  UniqueFd openDirectoryAt(int directory, const std::string& name) override {
    UniqueFd fd(retryOnInterrupt(
        [&] { return ::openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!fd && errno != ELOOP && errno != ENOTDIR && errno != ENOENT) throwSystemError("open " + name);
    return fd;
  }

  std::optional<std::string> readUntrustedFileAt(int directory, const std::string& name, size_t cap) override {
    // O_NONBLOCK: opening a planted FIFO must not hang; O_NOFOLLOW: a planted link is refused.
    UniqueFd fd(retryOnInterrupt(
        [&] { return ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY); }));
    if (!fd) {
      if (errno == ENOENT) return std::nullopt;
      if (errno == ELOOP) throw RefusedFileError(name + " is a symbolic link.");
      throwSystemError("open " + name);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) throwSystemError("fstat " + name);
    if (!S_ISREG(status.st_mode)) throw RefusedFileError(name + " is not a regular file.");
    if (status.st_nlink != 1) throw RefusedFileError(name + " has more than one link.");
    if (static_cast<unsigned long long>(status.st_size) > cap)
      throw RefusedFileError(name + " is larger than the size limit.");
    std::string content = readAll(fd.get(), cap, name);
    // A user may open a hard link to a root-only file under this name and remove the link before the
    // check above. The name must still lead to the same, single-linked file after the read.
    struct stat after {};
    if (::fstatat(directory, name.c_str(), &after, AT_SYMLINK_NOFOLLOW) != 0 || after.st_dev != status.st_dev ||
        after.st_ino != status.st_ino || after.st_nlink != 1) {
      throw FileChangedWhileReadError(name + " changed while it was read.");
    }
    return content;
  }

  void writeFileAtomicallyAt(int directory, const std::string& name, std::string_view bytes,
                             const WriteOptions& options) override {
    writeAtomicallyAt(directory, name, bytes, options);
  }

  bool fileIsExactlyAt(int directory, const std::string& name, std::string_view bytes, mode_t mode) override {
    const uid_t owner = ::geteuid();
    const auto matches = [&](const struct stat& status) {
      return S_ISREG(status.st_mode) && status.st_nlink == 1 && status.st_uid == owner &&
             (status.st_mode & 07777) == mode && static_cast<unsigned long long>(status.st_size) == bytes.size();
    };
    // Looked at before it is opened: a planted FIFO or device is never opened at all, since opening
    // some devices has effects of its own.
    struct stat seen {};
    if (::fstatat(directory, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 || !matches(seen)) return false;
    // The name may have been swapped since the look: O_NOFOLLOW and O_NONBLOCK keep the open from
    // following a link or waiting on a FIFO put there meanwhile, and the descriptor must still be
    // the file that was looked at.
    UniqueFd fd(retryOnInterrupt(
        [&] { return ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY); }));
    struct stat opened {};
    if (!fd || ::fstat(fd.get(), &opened) != 0 || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino ||
        !matches(opened)) {
      return false;
    }
    try {
      return readAll(fd.get(), bytes.size(), name) == bytes;
    } catch (const std::exception&) {
      return false;  // grown meanwhile or unreadable: not the file, and the caller replaces it
    }
  }

  bool removeEntryAt(int directory, const std::string& name) override { return removeAt(directory, name); }

  std::vector<std::string> listDirectoryAt(int directory) override { return listAt(directory); }

  void removeStaleTemporaryFilesAt(int directory, std::chrono::seconds minimumAge) override {
    const std::time_t latest = std::time(nullptr) - minimumAge.count();
    for (const auto& name : listAt(directory)) {
      if (!isTemporaryName(name)) continue;
      struct stat status {};
      if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
      // Ours are plain files; in a directory every user can write, the name proves nothing more.
      if (S_ISREG(status.st_mode) && status.st_mtime <= latest) ::unlinkat(directory, name.c_str(), 0);
    }
  }

  mode_t modeOf(int fd) override {
    struct stat status {};
    if (::fstat(fd, &status) != 0) throwSystemError("fstat");
    return status.st_mode & 07777;
  }

  void setMode(int fd, mode_t mode) override {
    if (::fchmod(fd, mode) != 0) throwSystemError("fchmod");
  }
};

}  // namespace

std::shared_ptr<FileSystem> realFileSystem() {
  static const auto shared = std::make_shared<RealFileSystem>();
  return shared;
}

}  // namespace vellorin
