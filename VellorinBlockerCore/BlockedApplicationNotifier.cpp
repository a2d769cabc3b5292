// Posting the "Blocked by Vellorin" notification in the console user's session.
#include "VellorinBlockerCore/BlockedApplicationNotifier.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <exception>
#include <memory>
#include <stdexcept>

#include "VellorinBlockerCore/Limits.hpp"
#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {
namespace {

constexpr std::string_view notificationTitle = "Blocked by Vellorin";
constexpr std::string_view messageSuffix = " is locked until your focus session ends.";
constexpr std::string_view focusApplicationExecutable = "/Vellorin.app/Contents/MacOS/Vellorin";

// The login window and the setup assistant own the console while nobody is logged in.
constexpr std::array<std::string_view, 3> excludedUserNames = {"root", "loginwindow", "_mbsetupuser"};

std::optional<std::string> userName(uid_t uid) {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < size_t{1024} * 1024) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr || found->pw_name == nullptr) return std::nullopt;
    return std::string(found->pw_name);
  }
}

// The listing, whose answer (or failure) also serves the calls that follow within listingReuse:
// the notifications of one pass wait for one listing at most.
RunningProcessCommandsProvider reusedForAWhile(RunningProcessCommandsProvider provider) {
  struct Last {
    std::optional<std::chrono::steady_clock::time_point> at;
    std::vector<std::string> commands;
    bool failed = false;
  };
  return [provider = std::move(provider), last = std::make_shared<Last>()] {
    if (!last->at || std::chrono::steady_clock::now() - *last->at >= limits::notifierListingReuse) {
      try {
        last->commands = provider();
        last->failed = false;
      } catch (const std::exception&) {
        last->failed = true;
      }
      last->at = std::chrono::steady_clock::now();
    }
    if (last->failed) throw std::runtime_error("the process listing failed");
    return last->commands;
  };
}

}  // namespace

ConsoleUserBlockedApplicationNotifier::ConsoleUserBlockedApplicationNotifier(const ProcessRunner& runner)
    : ConsoleUserBlockedApplicationNotifier(
          runner, reusedForAWhile([runner] { return runningProcessCommands(runner); }), consoleUser) {}

ConsoleUserBlockedApplicationNotifier::ConsoleUserBlockedApplicationNotifier(ProcessRunner runner,
                                                                             RunningProcessCommandsProvider provider,
                                                                             ConsoleUserProvider userProvider)
    : processRunner(std::move(runner)),
      runningProcessCommandsProvider(std::move(provider)),
      consoleUserProvider(std::move(userProvider)) {}

bool ConsoleUserBlockedApplicationNotifier::notify(const HelperBlockedAppEvent& event) {
  try {
    if (isVellorinApplicationRunning()) return false;
    const std::optional<ConsoleUser> user = consoleUserProvider();
    if (!user) return false;
    processRunner(
        "/bin/launchctl", launcherArguments(event, *user),
        RunOptions{.allowFailure = true, .timeLimit = limits::launcherTimeLimit, .mode = RunMode::background});
    return true;
  } catch (const std::exception&) {
    // A notification is a courtesy: a failed one must never disturb enforcement.
    return false;
  }
}

bool ConsoleUserBlockedApplicationNotifier::isVellorinApplicationRunning() const {
  std::vector<std::string> commands;
  try {
    commands = runningProcessCommandsProvider();
  } catch (const std::exception&) {
    return false;  // Better an extra notification than none.
  }
  return std::any_of(commands.begin(), commands.end(),
                     [](const std::string& command) { return contains(command, focusApplicationExecutable); });
}

std::vector<std::string> ConsoleUserBlockedApplicationNotifier::runningProcessCommands(
    const ProcessRunner& processRunner) {
  // Raw bytes, so that one command line that is not valid UTF-8 does not blank the whole listing.
  return parseProcessCommands(
      processRunner("/bin/ps", {"-axo", "command="},
                    RunOptions{.allowFailure = true, .timeLimit = limits::notifierListingTimeLimit}));
}

std::vector<std::string> ConsoleUserBlockedApplicationNotifier::parseProcessCommands(std::string_view output) {
  std::vector<std::string> commands;
  for (const std::string_view line : splitLinesCrLfAsOne(output)) {
    if (!isValidUtf8(line)) continue;
    const std::string_view command = trimUnicodeWhitespace(line);
    if (!command.empty()) commands.emplace_back(command);
  }
  return commands;
}

std::optional<ConsoleUser> ConsoleUserBlockedApplicationNotifier::consoleUser() {
  return consoleUserOwning("/dev/console");
}

std::optional<ConsoleUser> ConsoleUserBlockedApplicationNotifier::consoleUserOwning(const std::string& devicePath) {
  struct stat status {};
  if (::lstat(devicePath.c_str(), &status) != 0) return std::nullopt;
  if (status.st_uid == 0) return std::nullopt;
  std::optional<std::string> name;
  try {
    name = userName(status.st_uid);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!name || name->empty()) return std::nullopt;
  if (std::find(excludedUserNames.begin(), excludedUserNames.end(), *name) != excludedUserNames.end()) {
    return std::nullopt;
  }
  return ConsoleUser{static_cast<uint32_t>(status.st_uid), std::move(*name)};
}

std::string ConsoleUserBlockedApplicationNotifier::appleScriptStringLiteral(std::string_view text) {
  // One pass over the text: a backslash becomes two, a quote gets a backslash before it, and no
  // backslash added here is looked at again.
  std::string literal = "\"";
  for (const char character : text) {
    if (character == '\\') {
      literal += "\\\\";
    } else if (character == '"') {
      literal += "\\\"";
    } else {
      literal += character;
    }
  }
  literal += '"';
  return literal;
}

std::vector<std::string> ConsoleUserBlockedApplicationNotifier::launcherArguments(const HelperBlockedAppEvent& event,
                                                                                  const ConsoleUser& user) {
  const std::string& displayName = event.name.empty() ? event.bundleIdentifier : event.name;
  const std::string message = displayName + std::string(messageSuffix);
  const std::string script = "display notification " + appleScriptStringLiteral(message) + " with title " +
                             appleScriptStringLiteral(notificationTitle);
  return {"asuser", std::to_string(user.uid), "/usr/bin/sudo", "-u", user.name, "/usr/bin/osascript", "-e", script};
}

}  // namespace vellorin
