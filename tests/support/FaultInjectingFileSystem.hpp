// A file system that forwards to another, records what it changes, and fails chosen operations.
#pragma once

#include <cerrno>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "VellorinBlockerCore/FileSystem.hpp"

namespace vellorin::testing {

// Every change is recorded in order as "write <name>", "remove <name>" or "move <from> <to>"
// (last path components, or the names of descriptor-relative operations alike). A read, write,
// removal or move of one name can be made to fail with a chosen errno before it reaches the
// target; a failed operation is not recorded.
class FaultInjectingFileSystem final : public FileSystem {
  using Path = std::filesystem::path;

 public:
  enum class Operation { none, read, write, remove, move };

  explicit FaultInjectingFileSystem(std::shared_ptr<FileSystem> target) : target_(std::move(target)) {}

  void fail(Operation operation, std::string name, int error = ENOSPC) {
    failing_ = operation;
    failingName_ = std::move(name);
    error_ = error;
  }
  void heal() { failing_ = Operation::none; }
  std::vector<std::string> journal;

  bool exists(const Path& path) override { return target_->exists(path); }
  std::optional<std::string> readFile(const Path& path) override {
    check(Operation::read, path);
    return target_->readFile(path);
  }
  void writeFileAtomically(const Path& path, std::string_view bytes, const WriteOptions& options) override {
    record(Operation::write, "write", path);
    target_->writeFileAtomically(path, bytes, options);
  }
  void createDirectories(const Path& path) override { target_->createDirectories(path); }
  bool removeFile(const Path& path) override {
    record(Operation::remove, "remove", path);
    return target_->removeFile(path);
  }
  void moveFile(const Path& from, const Path& to) override {
    check(Operation::move, from);
    journal.push_back("move " + from.filename().string() + " " + to.filename().string());
    target_->moveFile(from, to);
  }
  void copyFile(const Path& from, const Path& to) override { target_->copyFile(from, to); }
  std::vector<std::string> listDirectory(const Path& path) override { return target_->listDirectory(path); }
  Path resolvedPath(const Path& path) override { return target_->resolvedPath(path); }
  UniqueFd openDirectory(const Path& path) override { return target_->openDirectory(path); }
  UniqueFd lockFile(const Path& path) override { return target_->lockFile(path); }
  EntryKind entryKindAt(int directory, const std::string& name) override {
    return target_->entryKindAt(directory, name);
  }
  void makeDirectoryAt(int directory, const std::string& name) override { target_->makeDirectoryAt(directory, name); }
  UniqueFd openDirectoryAt(int directory, const std::string& name) override {
    return target_->openDirectoryAt(directory, name);
  }
  std::optional<std::string> readUntrustedFileAt(int directory, const std::string& name, size_t cap) override {
    check(Operation::read, name);
    return target_->readUntrustedFileAt(directory, name, cap);
  }
  void writeFileAtomicallyAt(int directory, const std::string& name, std::string_view bytes,
                             const WriteOptions& options) override {
    record(Operation::write, "write", name);
    target_->writeFileAtomicallyAt(directory, name, bytes, options);
  }
  bool removeEntryAt(int directory, const std::string& name) override {
    record(Operation::remove, "remove", name);
    return target_->removeEntryAt(directory, name);
  }
  std::vector<std::string> listDirectoryAt(int directory) override { return target_->listDirectoryAt(directory); }
  void removeStaleTemporaryFilesAt(int directory, std::chrono::seconds minimumAge) override {
    target_->removeStaleTemporaryFilesAt(directory, minimumAge);
  }
  mode_t modeOf(int fd) override { return target_->modeOf(fd); }
  void setMode(int fd, mode_t mode) override { target_->setMode(fd, mode); }

 private:
  void check(Operation operation, const Path& name) const {
    if (operation == failing_ && name.filename() == failingName_) {
      throw std::system_error(error_, std::generic_category(), "injected failure for " + name.string());
    }
  }
  void record(Operation operation, const char* verb, const Path& name) {
    check(operation, name);
    journal.push_back(std::string(verb) + " " + name.filename().string());
  }

  std::shared_ptr<FileSystem> target_;
  Operation failing_ = Operation::none;
  std::string failingName_;
  int error_ = 0;
};

}  // namespace vellorin::testing
