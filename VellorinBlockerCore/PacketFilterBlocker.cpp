// The packet-filter anchor: address lookup, anchor and configuration edits, pf enabling and release.
#include "VellorinBlockerCore/PacketFilterBlocker.hpp"

#include <algorithm>
#include <set>
#include <system_error>
#include <utility>

#include "VellorinBlockerCore/Limits.hpp"
#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {
namespace {

constexpr const char* pfctl = "/sbin/pfctl";
constexpr const char* dscacheutil = "/usr/bin/dscacheutil";
constexpr std::string_view tokenPrefix = "Token : ";
constexpr std::string_view addressKey = "ip_address:";

std::string removingAll(std::string text, std::string_view needle) {
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at))
    text.erase(at, needle.size());
  return text;
}

}  // namespace

PacketFilterBlocker::PacketFilterBlocker(HelperPaths helperPaths, std::shared_ptr<FileSystem> fileManager_,
                                         ProcessRunner runner)
    : paths(std::move(helperPaths)), fileManager(std::move(fileManager_)), processRunner(std::move(runner)) {}

void PacketFilterBlocker::apply(const std::vector<std::string>& domains) const {
  std::set<std::string> unique;
  for (const auto& domain : domains) {
    for (auto& address : resolveAddresses(domain)) unique.insert(std::move(address));
  }
  writeAnchor({unique.begin(), unique.end()});
  ensurePFConfAnchor();
  if (paths.dryRun) return;

  const std::string output = run(pfctl, {"-E", "-f", paths.pfConfPath.string(), "-F", "states"});
  for (const auto line : splitAtEachLineBreakCharacter(output)) {
    if (startsWith(line, tokenPrefix))
      fileManager->writeFileAtomically(paths.pfTokenPath, line.substr(tokenPrefix.size()));
  }
}

void PacketFilterBlocker::restore(bool force) const {
  if (!hasTraceOfBlock()) return;
  fileManager->writeFileAtomically(paths.pfAnchorPath, "");
  removePFConfAnchor();
  if (paths.dryRun) return;

  std::string token;
  try {
    const auto content = fileManager->readFile(paths.pfTokenPath);
    if (content && isValidUtf8(*content)) token = trimUnicodeWhitespace(*content);
  } catch (const std::system_error&) {
    // An unreadable token cannot be released; pf is disabled instead.
  }
  if (token.empty() || force) {
    run(pfctl, {"-d", "-f", paths.pfConfPath.string()});
  } else {
    run(pfctl, {"-X", token, "-f", paths.pfConfPath.string()});
  }
  if (fileManager->exists(paths.pfTokenPath)) fileManager->removeFile(paths.pfTokenPath);
}

bool PacketFilterBlocker::hasTraceOfBlock() const {
  if (fileManager->exists(paths.pfTokenPath) || containsBlock()) return true;
  try {
    const auto rules = fileManager->readFile(paths.pfAnchorPath);
    return rules && !trimUnicodeWhitespace(*rules).empty();
  } catch (const std::system_error&) {
    return false;  // no file holding rules
  }
}

bool PacketFilterBlocker::containsBlock() const {
  try {
    const auto content = fileManager->readFile(paths.pfConfPath);
    return content && isValidUtf8(*content) && contains(*content, anchorName);
  } catch (const std::exception&) {
    return false;
  }
}

std::string PacketFilterBlocker::renderRules(std::vector<std::string> addresses) const {
  std::sort(addresses.begin(), addresses.end());
  std::string rules = "set block-policy drop\nset skip on lo0\n";
  for (const auto& address : addresses) {
    rules += "block return out proto tcp from any to " + address + "\n";
    rules += "block return out proto udp from any to " + address + "\n";
  }
  return rules;
}

std::vector<std::string> PacketFilterBlocker::resolveAddresses(const std::string& domain) const {
  if (paths.dryRun) return {};
  std::string output;
  try {
    output = run(dscacheutil, {"-q", "host", "-a", "name", domain});
  } catch (const std::exception&) {
    // A lookup tool that cannot be started resolves nothing; the domain just adds no rule.
    return {};
  }
  std::vector<std::string> addresses;
  for (const auto line : splitAtEachLineBreakCharacter(output)) {
    const std::string_view trimmed = trimUnicodeSpaces(line);
    if (!startsWith(trimmed, addressKey)) continue;
    addresses.emplace_back(trimUnicodeSpaces(removingAll(std::string(trimmed), addressKey)));
  }
  return addresses;
}

void PacketFilterBlocker::writeAnchor(const std::vector<std::string>& addresses) const {
  fileManager->createDirectories(paths.pfAnchorPath.parent_path());
  fileManager->writeFileAtomically(paths.pfAnchorPath, renderRules(addresses));
}

std::optional<std::string> PacketFilterBlocker::readPFConfForEditing() const {
  std::optional<std::string> content;
  try {
    content = fileManager->readFile(paths.pfConfPath);
  } catch (const std::system_error&) {
    // Rewriting a configuration we could not read would throw its rules away.
    return std::nullopt;
  }
  if (!content) return std::string();
  if (!isValidUtf8(*content)) return std::nullopt;
  return content;
}

std::string PacketFilterBlocker::withAnchorLines(std::string_view configuration) const {
  const std::string anchorPath = paths.pfAnchorPath.string();
  if (contains(configuration, anchorPath)) return std::string(configuration);
  std::string content(trimUnicodeWhitespace(configuration));
  content += "\nanchor \"" + anchorName + "\"\n";
  content += "load anchor \"" + anchorName + "\" from \"" + anchorPath + "\"\n";
  return content;
}

std::string PacketFilterBlocker::withoutAnchorLines(std::string_view configuration) const {
  std::string joined;
  bool first = true;
  for (const auto line : splitAtEachLineBreakCharacter(configuration)) {
    if (contains(line, anchorName)) continue;
    if (!first) joined += '\n';
    joined += line;
    first = false;
  }
  std::string content(trimUnicodeWhitespace(joined));
  content += '\n';
  return content;
}

void PacketFilterBlocker::ensurePFConfAnchor() const {
  const auto current = readPFConfForEditing();
  // A configuration that already names the anchor file is left byte for byte as it is.
  if (current && !contains(*current, paths.pfAnchorPath.string())) {
    fileManager->writeFileAtomically(paths.pfConfPath, withAnchorLines(*current));
  }
}

void PacketFilterBlocker::removePFConfAnchor() const {
  // Rewritten whether or not a line went: the rewrite is also what tidies the file's ends.
  if (const auto current = readPFConfForEditing()) {
    fileManager->writeFileAtomically(paths.pfConfPath, withoutAnchorLines(*current));
  }
}

std::string PacketFilterBlocker::run(const std::string& executable, const std::vector<std::string>& arguments) const {
  // A pfctl that outlives its limit is stuck, and the restore that needed it fails (and is
  // retried) rather than waiting for good.
  return decodedOutput(processRunner(executable, arguments,
                                     RunOptions{.allowFailure = true, .timeLimit = limits::packetFilterTimeLimit}));
}

}  // namespace vellorin
