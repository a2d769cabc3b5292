// The packet-filter anchor: reject rules per blocked address, hooked into the pf configuration.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VellorinBlockerCore/CommandRunner.hpp"
#include "VellorinBlockerCore/FileSystem.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"

namespace vellorin {

// Writes the anchor file at paths.pfAnchorPath, names it in paths.pfConfPath with an "anchor" and
// a "load anchor" line, and enables pf keeping its reference token at paths.pfTokenPath; restore
// undoes all three. Every tool runs through processRunner with failure allowed, so a tool's
// non-zero exit is never an error here; a tool that cannot be started is, as is every file error
// (std::system_error, unchanged). In a dry run no tool runs and the token file is not touched.
//
// A pf configuration file that exists but cannot be read, or is not UTF-8, is never rewritten:
// only a missing file counts as empty.
struct PacketFilterBlocker {
  HelperPaths paths;
  std::string anchorName = std::string(VellorinServiceIdentifier);
  std::shared_ptr<FileSystem> fileManager;
  ProcessRunner processRunner;

  PacketFilterBlocker(HelperPaths helperPaths, std::shared_ptr<FileSystem> fileManager_, ProcessRunner runner);

  // Resolves the domains (unchanged, not normalised) to IPv4 addresses, writes the anchor file,
  // adds the configuration lines unless the configuration already names the anchor file, then
  // enables pf and stores the token it prints. Without a "Token : " line the token file stays.
  void apply(const std::vector<std::string>& domains) const;

  // When a trace of the block is left (the token file, a configuration line naming the anchor, or
  // rules in the anchor file): empties the anchor file (its directory must exist), drops every
  // configuration line naming the anchor, then releases the stored token and reloads ("-X"), or,
  // without a token or with force, disables pf and reloads ("-d"); finally removes the token file.
  // Without a trace it does nothing at all: the helper never enables pf itself, so a packet filter
  // running without one is someone else's (a VPN client's kill switch, the administrator's rules).
  void restore(bool force) const;

  // Whether any of the three traces above is left.
  bool hasTraceOfBlock() const;

  // Whether the pf configuration mentions the anchor name. False when it is missing or unreadable.
  bool containsBlock() const;

  // The pf configuration with the two anchor lines added after its trimmed text, or unchanged
  // when it already names the anchor file.
  std::string withAnchorLines(std::string_view configuration) const;
  // The pf configuration without any line (split at every line-break character) that names the
  // anchor, trimmed, ending in one line feed.
  std::string withoutAnchorLines(std::string_view configuration) const;

  // The anchor file for the addresses: two "set" lines, then a tcp and a udp reject rule per
  // address in ascending order; every line ended by a line feed.
  std::string renderRules(std::vector<std::string> addresses) const;

 private:
  std::vector<std::string> resolveAddresses(const std::string& domain) const;
  void writeAnchor(const std::vector<std::string>& addresses) const;
  void ensurePFConfAnchor() const;
  void removePFConfAnchor() const;
  // The pf configuration as text: empty when missing, nothing when it must be left alone.
  std::optional<std::string> readPFConfForEditing() const;
  // Every tool call here allows a non-zero exit status; the output is decoded as text.
  std::string run(const std::string& executable, const std::vector<std::string>& arguments) const;
};

}  // namespace vellorin
