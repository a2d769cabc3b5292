// Telling the person at the console that a blocked application was closed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VellorinBlockerCore/CommandRunner.hpp"
#include "VellorinBlockerCore/Models.hpp"

namespace vellorin {

class HelperBlockedApplicationNotifier {
 public:
  virtual ~HelperBlockedApplicationNotifier() = default;
  // Announces one closed application; true when a notification was started. Never fails: every
  // failure is swallowed.
  virtual bool notify(const HelperBlockedAppEvent& event) = 0;
};

class NoopBlockedApplicationNotifier final : public HelperBlockedApplicationNotifier {
 public:
  bool notify(const HelperBlockedAppEvent& /*event*/) override { return false; }
};

using RunningProcessCommandsProvider = std::function<std::vector<std::string>()>;

// The user logged in at the console.
struct ConsoleUser {
  uint32_t uid = 0;
  std::string name;
  bool operator==(const ConsoleUser&) const = default;
};

// Returns the console user, or nothing when nobody is logged in at the console.
using ConsoleUserProvider = std::function<std::optional<ConsoleUser>()>;

// Posts "Blocked by Vellorin" in the console user's session through the per-user launcher, unless
// the focus application is running or nobody is logged in at the console. The launcher runs in the
// background within limits::launcherTimeLimit (the script runner can wait on a consent prompt
// indefinitely, and the daemon must not stall behind it); the process listing that looks for the
// focus application runs within limits::notifierListingTimeLimit, and its answer serves the
// notifications of the next limits::notifierListingReuse.
class ConsoleUserBlockedApplicationNotifier final : public HelperBlockedApplicationNotifier {
 public:
  // The real collaborators: the process listing through the runner, and the console device.
  explicit ConsoleUserBlockedApplicationNotifier(const ProcessRunner& processRunner);
  ConsoleUserBlockedApplicationNotifier(ProcessRunner processRunner,
                                        RunningProcessCommandsProvider runningProcessCommandsProvider,
                                        ConsoleUserProvider consoleUserProvider);

  bool notify(const HelperBlockedAppEvent& event) override;

  // The command lines of all running processes ("/bin/ps" "-axo" "command=" through the runner),
  // trimmed, without empty lines. Throws when the tool cannot be started or outlives its limit; a
  // non-zero exit status is not an error.
  static std::vector<std::string> runningProcessCommands(const ProcessRunner& processRunner);
  // Splits the listing into command lines, skipping lines that are not valid UTF-8.
  static std::vector<std::string> parseProcessCommands(std::string_view output);

  // The owner of "/dev/console" (not following a link), unless that is root, unknown to the user
  // database, or one of the system accounts of the login window. Never throws.
  static std::optional<ConsoleUser> consoleUser();
  // The same rules for the owner of any device path.
  static std::optional<ConsoleUser> consoleUserOwning(const std::string& devicePath);

  // The text as an AppleScript string literal, quotes included.
  static std::string appleScriptStringLiteral(std::string_view text);
  // The eight arguments of "/bin/launchctl" that post the notification for this event as this user.
  static std::vector<std::string> launcherArguments(const HelperBlockedAppEvent& event, const ConsoleUser& user);

  ProcessRunner processRunner;
  RunningProcessCommandsProvider runningProcessCommandsProvider;
  ConsoleUserProvider consoleUserProvider;

 private:
  bool isVellorinApplicationRunning() const;
};

}  // namespace vellorin
