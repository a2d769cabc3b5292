// VellorinHelper: runs one command of the privileged helper and prints its JSON result.
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "VellorinBlockerCore/BlockerService.hpp"
#include "VellorinBlockerCore/ProcessEnvironment.hpp"
#include "VellorinBlockerCore/RunningTools.hpp"

namespace {

using namespace vellorin;

constexpr double notificationCooldownSeconds = 30.0;
constexpr double watchPollIntervalSeconds = 0.2;

// Writes the whole text and one line feed; the document is complete before the first byte goes
// out. A failed or short write fails with the real errno: a caller that cannot read the result
// must not take the command for a success.
void writeDocument(int fd, const std::string& document, const char* stream) {
  if (!writeAll(fd, document + "\n")) throwSystemError(std::string("write ") + stream);
}

std::string runHelperCommand(BlockerService& service, const std::vector<std::string>& arguments) {
  if (arguments.empty()) throw HelperCommandError::missingArgument("command");
  const std::string& command = arguments[0];

  if (command == "version") return service.encodeVersion(service.version());
  if (command == "apply" || command == "update") {
    if (arguments.size() == 1) throw HelperCommandError::missingArgument("session-json-path");
    const HelperSession session = service.loadSessionFromFile(arguments[1]);
    return service.encodeStatus(command == "apply" ? service.apply(session) : service.update(session));
  }
  if (command == "status") return service.encodeStatus(service.status("Status loaded."));
  if (command == "cleanup") return service.encodeStatus(service.cleanupIfExpired());
  if (command == "enforce") return service.encodeStatus(service.enforceActiveSession());
  if (command == "process-commands") {
    service.processPendingCommands();
    return service.encodeStatus(service.status("Pending commands processed."));
  }
  if (command == "watch") service.watch(watchPollIntervalSeconds);
  if (command == "restore") {
    const bool force = std::find(arguments.begin(), arguments.end(), "--force") != arguments.end();
    return service.encodeStatus(
        service.restoreAndReport(force ? RestoreForce::evenIfActive : RestoreForce::unlessActive, "Blocker restored."));
  }
  throw HelperCommandError::invalidCommand(command);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    // Before anything else is opened, and before any tool is started: nothing of what the parent
    // left (closed descriptors, ignored or blocked signals, a file-creation mask, a locale) may
    // change what the helper does.
    RunningTools::takeOverSignals();
    ensureStandardDescriptors();
    setFileCreationMask();
    ensureUtf8CharacterLocale();
    const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
    BlockerService service(HelperPaths::fromEnvironment(processEnvironment()), realFileSystem(),
                           BlockerServiceCollaborators{}, notificationCooldownSeconds,
                           [] { return std::chrono::system_clock::now(); });
    writeDocument(STDOUT_FILENO, runHelperCommand(service, arguments), "standard output");
    RunningTools::finishBackground();  // the notifications this command started, each within its limit
    return 0;
  } catch (...) {
    try {
      const nlohmann::json document = {{"error", failureDescription(std::current_exception())}};
      writeDocument(STDERR_FILENO, document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace),
                    "standard error");
    } catch (...) {
      // Nowhere left to report it (not even memory for the text); the exit status still says
      // the command failed.
    }
    RunningTools::finishBackground();
    return 1;
  }
}
