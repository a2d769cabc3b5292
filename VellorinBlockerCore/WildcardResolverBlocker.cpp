// Wildcard resolver files: apply and restore of marked resolver files, their backups and manifest.
#include "VellorinBlockerCore/WildcardResolverBlocker.hpp"

#include <nlohmann/json.hpp>

#include <set>
#include <system_error>
#include <utility>

#include "VellorinBlockerCore/DomainRules.hpp"
#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {

WildcardResolverBlocker::WildcardResolverBlocker(HelperPaths helperPaths, std::shared_ptr<FileSystem> fileManager_)
    : paths(std::move(helperPaths)), fileManager(std::move(fileManager_)) {}

void WildcardResolverBlocker::apply(const std::vector<std::string>& domains, const std::string& sessionID) const {
  if (domains.empty()) return;
  fileManager->createDirectories(paths.stateDirectory);
  fileManager->createDirectories(paths.resolverDirectory);
  fileManager->createDirectories(paths.resolverBackupDirectory());

  std::set<std::string> newDomains;
  for (const auto& domain : domains) {
    if (std::string normalized = DomainRules::normalize(domain); !normalized.empty()) {
      newDomains.insert(std::move(normalized));
    }
  }
  std::set<std::string> merged(newDomains);
  for (auto& domain : manifestDomains()) merged.insert(std::move(domain));

  for (const auto& domain : newDomains) {
    const auto target = resolverPath(domain);
    const auto backup = backupPath(domain);
    // A file of our own is never taken as a backup: restore must remove it, not bring it back.
    if (fileManager->exists(target) && !fileManager->exists(backup) && !isMarkedResolverFile(target)) {
      fileManager->copyFile(target, backup);
    }
    fileManager->writeFileAtomically(target, renderResolverFile(domain, sessionID));
  }

  fileManager->writeFileAtomically(paths.resolverManifestPath(),
                                   encodeManifest(std::vector<std::string>(merged.begin(), merged.end())));
}

void WildcardResolverBlocker::restore() const {
  std::set<std::string> domains;
  for (auto& domain : manifestDomains()) domains.insert(std::move(domain));
  for (auto& domain : markedResolverDomains()) domains.insert(std::move(domain));

  for (const auto& domain : domains) {
    const auto target = resolverPath(domain);
    const auto backup = backupPath(domain);
    if (fileManager->exists(backup)) {
      fileManager->createDirectories(paths.resolverDirectory);
      // One rename replaces whatever stands at the resolver path: no moment without a file there.
      fileManager->moveFile(backup, target);
    } else if (isMarkedResolverFile(target)) {
      fileManager->removeFile(target);
    }
  }

  const auto manifestPath = paths.resolverManifestPath();
  if (fileManager->exists(manifestPath)) fileManager->removeFile(manifestPath);
  removeBackupDirectoryIfEmpty();
}

bool WildcardResolverBlocker::containsBlock() const {
  return fileManager->exists(paths.resolverManifestPath()) || !markedResolverDomains().empty();
}

std::string WildcardResolverBlocker::renderResolverFile(const std::string& domain, const std::string& sessionID) const {
  return beginMarker + " " + sessionID + "\n" + "domain " + domain + "\n" +
         "nameserver 127.0.0.1\n"
         "port 9\n"
         "timeout 1\n"
         "options attempts:1\n" +
         endMarker + "\n";
}

std::vector<std::string> WildcardResolverBlocker::markedResolverDomains() const {
  std::vector<std::string> names;
  try {
    names = fileManager->listDirectory(paths.resolverDirectory);
  } catch (const std::system_error&) {
    return {};
  }
  std::set<std::string> marked;
  for (auto& name : names) {
    if (isMarkedResolverFile(resolverPath(name))) marked.insert(std::move(name));
  }
  return {marked.begin(), marked.end()};
}

void WildcardResolverBlocker::removeBackupDirectoryIfEmpty() const {
  try {
    const auto directory = paths.resolverBackupDirectory();
    if (fileManager->listDirectory(directory).empty()) fileManager->removeFile(directory);
  } catch (const std::exception&) {
    // Tidying up is best effort: a leftover empty directory harms nothing.
  }
}

std::vector<std::string> WildcardResolverBlocker::manifestDomains() const {
  try {
    const auto bytes = fileManager->readFile(paths.resolverManifestPath());
    return bytes ? parseManifest(*bytes) : std::vector<std::string>{};
  } catch (const std::exception&) {
    return {};
  }
}

std::vector<std::string> WildcardResolverBlocker::parseManifest(std::string_view bytes) {
  try {
    auto domains = nlohmann::json::parse(bytes).at("domains").get<std::vector<std::string>>();
    // Only normalised host names are ever listed, and those are single file names. Anything else
    // would point outside the resolver directory and is not ours to touch.
    std::erase_if(domains, [](const std::string& domain) {
      return domain.empty() || domain == "." || domain == ".." || domain.find('/') != std::string::npos ||
             domain.find('\0') != std::string::npos;
    });
    return domains;
  } catch (const std::exception&) {
    return {};
  }
}

std::string WildcardResolverBlocker::encodeManifest(const std::vector<std::string>& domains) {
  return nlohmann::json{{"domains", domains}}.dump();
}

bool WildcardResolverBlocker::isMarkedResolverFile(const std::filesystem::path& path) const {
  try {
    const auto content = fileManager->readFile(path);
    return content && isValidUtf8(*content) && contains(*content, beginMarker);
  } catch (const std::exception&) {
    return false;
  }
}

std::filesystem::path WildcardResolverBlocker::resolverPath(const std::string& domain) const {
  return appendingComponent(paths.resolverDirectory, domain);
}

std::filesystem::path WildcardResolverBlocker::backupPath(const std::string& domain) const {
  return appendingComponent(paths.resolverBackupDirectory(), domain + ".backup");
}

}  // namespace vellorin
