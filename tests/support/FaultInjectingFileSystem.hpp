// A file system that forwards to another, records what it changes, and fails chosen writes.
#pragma once

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "VellorinBlockerCore/FileSystem.hpp"

namespace vellorin::testing {

// Every change is recorded in order as "write <name>", "remove <name>", "move <from> <to>" (last
// path components, or the names of descriptor-relative operations alike) or "mode" (a mode set on
// an open descriptor). A write of one name can be made to fail with a chosen errno, as a full disk
// does, before it reaches the target; a failed write is not recorded.
class FaultInjectingFileSystem final : public FileSystem {
  using Path = std::filesystem::path;

 public:
  explicit FaultInjectingFileSystem(std::shared_ptr<FileSystem> target) : target_(std::move(target)) {}

  void failWrites(std::string name, int error = ENOSPC) { failing_ = {std::move(name), error}; }
  // The next `times` untrusted reads of the name find it replaced during the read.
  void changeWhileRead(std::string name, int times) { changing_ = {std::move(name), times}; }
  void heal() { failing_.reset(); }
  std::vector<std::string> journal;

  bool exists(const Path& path) override { return target_->exists(path); }
  std::optional<std::string> readFile(const Path& path) override { return target_->readFile(path); }
  void writeFileAtomically(const Path& path, std::string_view bytes, const WriteOptions& options) override {
    recordWrite(path.filename());
    target_->writeFileAtomically(path, bytes, options);
  }
  void createDirectories(const Path& path) override { target_->createDirectories(path); }
  bool removeFile(const Path& path) override {
    journal.push_back("remove " + path.filename().string());
    return target_->removeFile(path);
  }
  void moveFile(const Path& from, const Path& to) override {
    journal.push_back("move " + from.filename().string() + " " + to.filename().string());
    target_->moveFile(from, to);
  }
  void copyFile(const Path& from, const Path& to) override { target_->copyFile(from, to); }
  std::vector<std::string> listDirectory(const Path& path) override { return target_->listDirectory(path); }
  Path resolvedPath(const Path& path) override { return target_->resolvedPath(path); }
  UniqueFd openDirectory(const Path& path) override { return target_->openDirectory(path); }
  UniqueFd lockFile(const Path& path, std::chrono::milliseconds wait) override { return target_->lockFile(path, wait); }
  EntryKind entryKindAt(int directory, const std::string& name) override {
    return target_->entryKindAt(directory, name);
  }
  void makeDirectoryAt(int directory, const std::string& name) override { target_->makeDirectoryAt(directory, name); }
  UniqueFd openDirectoryAt(int directory, const std::string& name) override {
    return target_->openDirectoryAt(directory, name);
  }
  std::optional<std::string> readUntrustedFileAt(int directory, const std::string& name, size_t cap) override {
    if (changing_.first == name && changing_.second-- > 0)
      throw FileChangedWhileReadError(name + " changed while it was read.");
    return target_->readUntrustedFileAt(directory, name, cap);
  }
  void writeFileAtomicallyAt(int directory, const std::string& name, std::string_view bytes,
                             const WriteOptions& options) override {
    recordWrite(name);
    target_->writeFileAtomicallyAt(directory, name, bytes, options);
  }
  bool fileIsExactlyAt(int directory, const std::string& name, std::string_view bytes, mode_t mode) override {
    return target_->fileIsExactlyAt(directory, name, bytes, mode);
  }
  bool removeEntryAt(int directory, const std::string& name) override {
    journal.push_back("remove " + name);
    return target_->removeEntryAt(directory, name);
  }
  std::vector<std::string> listDirectoryAt(int directory) override { return target_->listDirectoryAt(directory); }
  void removeStaleTemporaryFilesAt(int directory, std::chrono::seconds minimumAge) override {
    target_->removeStaleTemporaryFilesAt(directory, minimumAge);
  }
  mode_t modeOf(int fd) override { return target_->modeOf(fd); }
  void setMode(int fd, mode_t mode) override {
    journal.emplace_back("mode");
    target_->setMode(fd, mode);
  }

 private:
  void recordWrite(const std::string& name) {
    if (failing_ && failing_->first == name) {
      throw std::system_error(failing_->second, std::generic_category(), "injected failure for " + name);
    }
    journal.push_back("write " + name);
  }

  std::shared_ptr<FileSystem> target_;
  std::optional<std::pair<std::string, int>> failing_;
  std::pair<std::string, int> changing_;
};

}  // namespace vellorin::testing
