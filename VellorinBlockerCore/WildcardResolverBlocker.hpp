// Wildcard resolver files: per-domain resolver files that send a domain and its subdomains nowhere.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "VellorinBlockerCore/FileSystem.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"

namespace vellorin {

// Writes one marked resolver file per domain into paths.resolverDirectory, backing up a file that
// stood there before into paths.resolverBackupDirectory() (as "<domain>.backup"), and lists the
// domains in the manifest paths.resolverManifestPath(), {"domains":[...]}. Restore puts backups
// back and removes the marked files. A resolver file is ours when it holds the begin marker. The
// manifest is read leniently: missing, unreadable or malformed means an empty list. File failures
// are the file layer's std::system_error, unchanged.
struct WildcardResolverBlocker {
  HelperPaths paths;
  std::shared_ptr<FileSystem> fileManager;
  std::string beginMarker = "# BEGIN VELLORIN RESOLVER BLOCK";
  std::string endMarker = "# END VELLORIN RESOLVER BLOCK";

  WildcardResolverBlocker(HelperPaths helperPaths, std::shared_ptr<FileSystem> fileManager_);

  // Normalises the domains (empty results dropped) and writes a resolver file for each, then the
  // manifest listing these and every domain it listed before. An empty list touches nothing. A
  // file already at a resolver path is backed up first, unless a backup exists or the file is one
  // of ours (a marked file is never kept as a backup, so restore always removes it).
  void apply(const std::vector<std::string>& domains, const std::string& sessionID) const;

  // For every domain in the manifest or with a marked file in the resolver directory: moves its
  // backup back in one rename, or else removes its resolver file if that is marked. Then removes
  // the manifest and the backup directory if it is empty. A failure leaves the manifest in place
  // so that the next restore walks the same list.
  void restore() const;

  // True when the manifest exists or a marked resolver file does. Never fails.
  bool containsBlock() const;

  // The seven-line resolver file, every line ended by a line feed.
  std::string renderResolverFile(const std::string& domain, const std::string& sessionID) const;

  // The names of the resolver files that hold the begin marker, sorted; files that cannot be read
  // as UTF-8 text are skipped, and a missing directory gives an empty list.
  std::vector<std::string> markedResolverDomains() const;

  // The manifest's domains, read leniently: anything that is not a manifest gives an empty list,
  // and a listed name that could lead outside the resolver directory is dropped.
  static std::vector<std::string> parseManifest(std::string_view bytes);
  // The manifest for the domains, compact: {"domains":[...]}.
  static std::string encodeManifest(const std::vector<std::string>& domains);

  // Removes the backup directory when it has no entries; swallows every failure.
  void removeBackupDirectoryIfEmpty() const;

  bool operator==(const WildcardResolverBlocker&) const = default;

 private:
  std::vector<std::string> manifestDomains() const;
  bool isMarkedResolverFile(const std::filesystem::path& path) const;
  std::filesystem::path resolverPath(const std::string& domain) const;
  std::filesystem::path backupPath(const std::string& domain) const;
};

}  // namespace vellorin
