// A file system that logs its changes and can fail the atomic write of one path as a full disk would.
#pragma once

#include <cerrno>
#include <system_error>

#include "VellorinBlockerCore/FileSystem.hpp"

namespace vellorin::testing {

// Real file operations, with every write, removal and move logged in order as "write <name>",
// "remove <name>" or "move <from> <to>" (last path components). A write to `full` throws
// std::system_error(ENOSPC) instead and is not logged.
struct JournalFileSystem : FileSystem {
  using Path = std::filesystem::path;
  Path full;
  std::vector<std::string> journal;

  void writeFileAtomically(const Path& path, std::string_view bytes, const WriteOptions& options) override {
    if (path == full) throw std::system_error(ENOSPC, std::generic_category(), "write " + path.string());
    journal.push_back("write " + path.filename().string());
    FileSystem::writeFileAtomically(path, bytes, options);
  }
  bool removeFile(const Path& path) override {
    journal.push_back("remove " + path.filename().string());
    return FileSystem::removeFile(path);
  }
  void moveFile(const Path& from, const Path& to) override {
    journal.push_back("move " + from.filename().string() + " " + to.filename().string());
    FileSystem::moveFile(from, to);
  }
};

}  // namespace vellorin::testing
