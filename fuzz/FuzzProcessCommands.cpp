// The notifier's process listing parser: every command line it gives is UTF-8, trimmed, not empty.
#include "FuzzCheck.hpp"
#include "VellorinBlockerCore/BlockedApplicationNotifier.hpp"
#include "VellorinBlockerCore/Text.hpp"

using namespace vellorin;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  for (const auto& command : ConsoleUserBlockedApplicationNotifier::parseProcessCommands(fuzzing::text(data, size))) {
    fuzzing::check(!command.empty() && isValidUtf8(command), "a command line is UTF-8 and not empty");
    fuzzing::check(trimUnicodeWhitespace(command) == command, "a command line is trimmed");
  }
  return 0;
}
