// The process snapshot parser and the target matching, fed target paths (before the first NUL
// byte, one per line) and a snapshot tool's output (after it). Parsing what the parser's own
// lines would print gives the same processes, and the indexed matching finds exactly the first
// target that the three path rules name, compared with the rules written out plainly.
#include "FuzzCheck.hpp"
#include "VellorinBlockerCore/ApplicationBlocker.hpp"
#include "VellorinBlockerCore/Text.hpp"

using namespace vellorin;

namespace {

const HelperApp* plainOwner(const std::vector<HelperApp>& apps, std::string_view command) {
  for (const auto& app : apps) {
    const std::string& path = app.path;
    if (!startsWith(path, "/") || !endsWith(path, ".app")) continue;
    if (command == path || startsWith(command, path + "/") || contains(command, path + "/Contents/MacOS/")) return &app;
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::string_view input = fuzzing::text(data, size);
  const size_t separator = input.find('\0');
  std::vector<HelperApp> apps;
  if (separator != std::string_view::npos) {
    for (const auto line : splitLinesCrLfAsOne(input.substr(0, separator))) {
      apps.push_back({"id", "bundle", "name", std::string(line), false, std::nullopt});
    }
  }
  const auto processes =
      parseProcessSnapshot(separator == std::string_view::npos ? input : input.substr(separator + 1));

  std::string printed;
  for (const auto& process : processes) {
    printed += std::to_string(process.pid) + " " + std::to_string(process.ppid) + " " + process.command + "\n";
  }
  fuzzing::check(parseProcessSnapshot(printed) == processes, "parse(print(processes)) == processes");

  const ApplicationTargetIndex index(apps);
  for (const auto& process : processes) {
    fuzzing::check(index.owner(process.command) == plainOwner(apps, process.command),
                   "the index finds the first target the rules name");
  }
  return 0;
}
