// The hosts-file block: rendering, stripping, apply and restore over the file-system layer.
#include "VellorinBlockerCore/HostsBlocker.hpp"

#include <utility>

#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {

HostsBlocker::HostsBlocker(HelperPaths helperPaths, std::shared_ptr<FileSystem> fileManager_)
    : paths(std::move(helperPaths)), fileManager(std::move(fileManager_)) {}

void HostsBlocker::apply(const std::vector<std::string>& domains, const std::string& sessionID) const {
  fileManager->createDirectories(paths.stateDirectory);
  const auto hosts = fileManager->resolvedPath(paths.hostsPath);
  const auto backupPath = paths.hostsBackupPath();
  // The backup keeps the state from before the first of a series of applies.
  if (!fileManager->exists(backupPath) && fileManager->exists(hosts)) fileManager->copyFile(hosts, backupPath);
  const std::string current = fileManager->readFile(hosts).value_or(std::string(defaultHostsContent));
  const std::string stripped = stripBlock(current);
  std::string content(trimUnicodeWhitespace(stripped));
  content += "\n\n";
  content += renderBlock(domains, sessionID);
  content += "\n";
  fileManager->writeFileAtomically(hosts, content);
}

// A hosts file that is a symbolic link (as hosts managers set it up) stays one: what is replaced is
// the file it leads to. And a hosts file with nothing to strip is not written at all, so that any
// local user's cleanup request does not make root replace it.
void HostsBlocker::restore() const {
  const auto hosts = fileManager->resolvedPath(paths.hostsPath);
  const auto backupPath = paths.hostsBackupPath();
  if (fileManager->exists(backupPath)) {
    // One rename replaces the hosts file: there is no moment without one.
    fileManager->moveFile(backupPath, hosts);
    return;
  }
  const auto current = fileManager->readFile(hosts);
  if (!current) {
    fileManager->writeFileAtomically(hosts, defaultHostsContent);
    return;
  }
  if (std::string stripped = stripBlock(*current); stripped != *current)
    fileManager->writeFileAtomically(hosts, stripped);
}

bool HostsBlocker::containsBlock() const {
  try {
    const auto content = fileManager->readFile(paths.hostsPath);
    return content && content->find(beginMarker) != std::string::npos;
  } catch (const std::exception&) {
    return false;
  }
}

std::string HostsBlocker::renderBlock(const std::vector<std::string>& domains, const std::string& sessionID) const {
  std::string block = beginMarker + " " + sessionID;
  for (const auto& domain : domains) {
    block += "\n0.0.0.0\t" + domain;
    block += "\n::\t" + domain;
  }
  block += "\n" + endMarker;
  return block;
}

std::string HostsBlocker::stripBlock(std::string_view text) const {
  std::string result(text);
  for (;;) {
    const size_t begin = result.find(beginMarker);
    if (begin == std::string::npos) break;
    const size_t endMarkerAt = result.find(endMarker, begin + beginMarker.size());
    if (endMarkerAt == std::string::npos) break;

    const std::string_view before = std::string_view(result).substr(0, begin);
    const size_t leadingBreak = trailingLineBreakLength(before);
    const size_t start = begin - leadingBreak;
    size_t end = endMarkerAt + endMarker.size();
    const size_t trailingBreak = leadingLineBreakLength(std::string_view(result).substr(end));
    end += trailingBreak;

    // "A\n<block>\nB" must leave "A\nB", not "AB": when the block sat between two lines of text
    // with no empty line beside it, the break that followed it stays.
    if (leadingBreak > 0 && trailingBreak > 0) {
      const std::string_view textBefore = before.substr(0, start);
      const std::string_view textAfter = std::string_view(result).substr(end);
      const bool lineBefore = !textBefore.empty() && trailingLineBreakLength(textBefore) == 0;
      const bool lineAfter = !textAfter.empty() && leadingLineBreakLength(textAfter) == 0;
      if (lineBefore && lineAfter) end -= trailingBreak;
    }
    result.erase(start, end - start);
  }
  return result;
}

}  // namespace vellorin
