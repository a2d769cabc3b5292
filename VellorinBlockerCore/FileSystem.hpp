// The file-system layer: every file and directory the helper reads or writes goes through one
// FileSystem. The real implementation works on the disk; tests wrap it to inject faults.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "VellorinBlockerCore/SystemCalls.hpp"

namespace vellorin {

struct WriteOptions {
  // Mode of the new file. Without one the mode of the file being replaced is kept, or 0644 for a
  // new file, so that a system file never ends up with a narrower mode than it had.
  std::optional<mode_t> mode;
  // Durable writes fsync the file before the rename and its directory after it, so a power loss
  // leaves the old or the new content, never an empty file.
  bool durable = true;
};

// A file in a user-writable place that the helper refuses to read: a link, a hard link to another
// file, a FIFO, device or directory, or a file over the size cap. The text names the problem and
// never quotes content.
class RefusedFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file whose name led elsewhere by the end of the read (replaced or removed meanwhile): worth
// reading again.
class FileChangedWhileReadError : public RefusedFileError {
 public:
  using RefusedFileError::RefusedFileError;
};

// A lock that another helper process held for the whole of the wait.
class LockTimeoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What stands under a name, the name itself not followed if it is a link.
enum class EntryKind { missing, directory, symbolicLink, other };

// Path operations serve the locations an administrator configures (state directory, hosts file,
// packet-filter and resolver files): links on the way there are root's own and followed.
// Operations relative to an open directory ("At") serve the directories every local user can
// write: they never follow a link at the final name.
//
// Failures are std::system_error with the real errno and the call and path (or name) in the text.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // True when something exists at the path (links followed).
  virtual bool exists(const std::filesystem::path& path) = 0;
  // The whole file, or nothing when no file is there. A non-regular file is an error.
  virtual std::optional<std::string> readFile(const std::filesystem::path& path) = 0;
  // Writes a temporary file beside the target and renames it over the target.
  virtual void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                                   const WriteOptions& options = {}) = 0;
  // Creates the directory and every missing parent; an existing directory is no failure.
  virtual void createDirectories(const std::filesystem::path& path) = 0;
  // Removes one name. A directory is removed only when empty. False when nothing was removed.
  virtual bool removeFile(const std::filesystem::path& path) = 0;
  // Renames in one step, replacing the target. Across volumes: copies beside the target (durably),
  // renames that copy over the target, then removes the source.
  virtual void moveFile(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Copies the bytes and the permission bits, durably and atomically.
  virtual void copyFile(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // The names in a directory, without "." and "..", in no particular order.
  virtual std::vector<std::string> listDirectory(const std::filesystem::path& path) = 0;
  // The path with every symbolic link in it resolved; the path itself when nothing is there.
  virtual std::filesystem::path resolvedPath(const std::filesystem::path& path) = 0;
  // Opens a directory by path for descriptor-relative work.
  virtual UniqueFd openDirectory(const std::filesystem::path& path) = 0;
  // Opens the file at the path (creating it with mode 0600; a link there is refused) and waits up
  // to `wait` for an exclusive lock on it, which lasts until the descriptor is closed. Refuses
  // (RefusedFileError) anything but a regular file with one link owned by root or by the effective
  // user and open to nobody else; fails with LockTimeoutError when the wait ends first. A wait of
  // milliseconds::max() has no end.
  virtual UniqueFd lockFile(const std::filesystem::path& path, std::chrono::milliseconds wait) = 0;

  virtual EntryKind entryKindAt(int directory, const std::string& name) = 0;
  // Creates a directory under the name; something already there is no failure.
  virtual void makeDirectoryAt(int directory, const std::string& name) = 0;
  // Opens the directory under the name; nothing (an empty descriptor) when the name is missing, a
  // link or not a directory.
  virtual UniqueFd openDirectoryAt(int directory, const std::string& name) = 0;
  // Reads a file that a user may have planted: it must be a regular file with exactly one link and
  // at most `cap` bytes; otherwise RefusedFileError. Nothing when no entry has that name.
  virtual std::optional<std::string> readUntrustedFileAt(int directory, const std::string& name, size_t cap) = 0;
  virtual void writeFileAtomicallyAt(int directory, const std::string& name, std::string_view bytes,
                                     const WriteOptions& options) = 0;
  // True when the name holds exactly this file: a regular file with one link, owned by the
  // effective user, with the permission bits `mode` and the content `bytes`. The name is not
  // followed and only a regular file is opened, without blocking; anything else, or a file that
  // cannot be read, is false. Changes nothing.
  virtual bool fileIsExactlyAt(int directory, const std::string& name, std::string_view bytes, mode_t mode) = 0;
  // Removes one name; a directory only when empty. Never recursive. False when nothing was removed.
  virtual bool removeEntryAt(int directory, const std::string& name) = 0;
  virtual std::vector<std::string> listDirectoryAt(int directory) = 0;

  // Removes, from the directory, the regular files named as this layer names its temporary files
  // whose last change lies at least `minimumAge` back: what a process killed halfway through an
  // atomic write leaves behind. Anything else under such a name is left alone, never followed.
  virtual void removeStaleTemporaryFilesAt(int directory, std::chrono::seconds minimumAge) = 0;

  // The permission bits of an open file or directory, set-id and sticky bits included.
  virtual mode_t modeOf(int fd) = 0;
  virtual void setMode(int fd, mode_t mode) = 0;
};

// The disk, shared by everything in the process.
std::shared_ptr<FileSystem> realFileSystem();

}  // namespace vellorin
