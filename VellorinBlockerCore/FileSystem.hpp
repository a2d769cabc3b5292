// The file-system layer: every file the helper reads or writes goes through one FileSystem.
#pragma once

#include <sys/types.h>

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

// Files at places every local user can write are read only up to this size.
inline constexpr size_t untrustedFileSizeCap = 16 * 1024 * 1024;

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

// The real file system. Tests subclass it to make single operations fail.
//
// Path-based operations serve the locations an administrator configures (state directory, hosts
// file, packet-filter and resolver files): links on the way there are root's own and followed.
// Descriptor-relative operations ("At") serve directories that every local user can write: they
// never follow a link at the final name.
//
// Failures are std::system_error with the real errno and the call and path in the text.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // True when something exists at the path (links followed).
  virtual bool exists(const std::filesystem::path& path);
  // The whole file, or nothing when no file is there. A non-regular file is an error.
  virtual std::optional<std::string> readFile(const std::filesystem::path& path);
  // Writes a temporary file beside the target and renames it over the target.
  virtual void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                                   const WriteOptions& options = {});
  // Creates the directory and every missing parent; an existing directory is no failure.
  virtual void createDirectories(const std::filesystem::path& path);
  // Removes one name. A directory is removed only when empty. False when nothing was removed.
  virtual bool removeFile(const std::filesystem::path& path);
  // Renames in one step, replacing the target. Across volumes: copies beside the target (durably),
  // renames that copy over the target, then removes the source.
  virtual void moveFile(const std::filesystem::path& from, const std::filesystem::path& to);
  // Copies the bytes and the permission bits, durably and atomically.
  virtual void copyFile(const std::filesystem::path& from, const std::filesystem::path& to);
  // The names in a directory, without "." and "..", in no particular order.
  virtual std::vector<std::string> listDirectory(const std::filesystem::path& path);

  // Opens a directory by path for descriptor-relative work (links on the way followed).
  virtual UniqueFd openDirectory(const std::filesystem::path& path);
  // Reads a file that a user may have planted: it must be a regular file with exactly one link and
  // at most `cap` bytes; otherwise RefusedFileError. Nothing when no entry has that name.
  virtual std::optional<std::string> readUntrustedFileAt(int directory, const std::string& name, size_t cap);
  virtual void writeFileAtomicallyAt(int directory, const std::string& name, std::string_view bytes,
                                     const WriteOptions& options);
  // Removes one name relative to the directory; a directory only when empty. Never recursive.
  virtual bool removeEntryAt(int directory, const std::string& name);
  virtual std::vector<std::string> listDirectoryAt(int directory);
};

std::shared_ptr<FileSystem> realFileSystem();

}  // namespace vellorin
