// Tests of the console-user notification: the launcher call, its escaping and when it is skipped.
#include "VellorinBlockerCore/BlockedApplicationNotifier.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <system_error>

#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using namespace std::chrono_literals;
using testing::RecordedCall;
using testing::RecordingRunner;

HelperBlockedAppEvent event(const std::string& name, const std::string& bundleIdentifier = "com.example.app") {
  return HelperBlockedAppEvent{"e1", "s1", bundleIdentifier, name, "/Applications/X.app", {}};
}

const ConsoleUser jane{501, "jane"};

RecordedCall launcherCall(const std::string& script, const ConsoleUser& user = jane) {
  return {"/bin/launchctl",
          {"asuser", std::to_string(user.uid), "/usr/bin/sudo", "-u", user.name, "/usr/bin/osascript", "-e", script},
          true};
}

ConsoleUserBlockedApplicationNotifier notifier(RecordingRunner& runner, RunningProcessCommandsProvider commands,
                                               ConsoleUserProvider user) {
  return ConsoleUserBlockedApplicationNotifier(runner.runner(), std::move(commands), std::move(user));
}

TEST(ConsoleNotification, RunsTheLauncherWithTheEscapedScript) {
  const std::string suffix = " is locked until your focus session ends.\" with title \"Blocked by Vellorin\"";
  const std::vector<std::pair<HelperBlockedAppEvent, std::string>> cases = {
      {event("Slack"), "display notification \"Slack" + suffix},
      {event("", "com.example.chat"), "display notification \"com.example.chat" + suffix},
      {event("My \"Best\" App"), "display notification \"My \\\"Best\\\" App" + suffix},
      {event("Back\\slash"), "display notification \"Back\\\\slash" + suffix},
      {event("a\\\"b"), "display notification \"a\\\\\\\"b" + suffix},  // a\"b: backslash doubled, quote escaped
  };
  for (const auto& [blocked, script] : cases) {
    SCOPED_TRACE(blocked.name);
    RecordingRunner runner;
    notifier(runner, [] { return std::vector<std::string>{"/sbin/launchd"}; }, [] { return jane; }).notify(blocked);
    EXPECT_EQ(runner.calls(), (std::vector<RecordedCall>{launcherCall(script)}));
  }
}

TEST(ConsoleNotification, PostsOnlyWhenSomeoneIsAtTheConsoleAndTheFocusApplicationIsNotRunning) {
  const auto listing = [](std::vector<std::string> commands) { return [commands] { return commands; }; };
  struct Case {
    std::string name;
    RunningProcessCommandsProvider commands;
    ConsoleUserProvider user;
    bool posted;
  };
  const std::vector<Case> cases = {
      {"FocusApplicationRunning",
       listing({"/bin/zsh", "/Applications/Vellorin.app/Contents/MacOS/Vellorin -NSDocumentRevisionsDebugMode"}),
       [] { return jane; }, false},
      {"FocusApplicationOfAnotherUserInHomeFolder",
       listing({"/Users/bob/Applications/Vellorin.app/Contents/MacOS/Vellorin"}), [] { return jane; }, false},
      {"MarkerIsCaseSensitive", listing({"/applications/vellorin.app/contents/macos/vellorin"}),
       [] { return jane; }, true},
      {"HelperAloneDoesNotCount", listing({"/Library/PrivilegedHelperTools/VellorinHelper watch"}),
       [] { return jane; }, true},
      {"ListingFailureDoesNotPreventIt",
       [] () -> std::vector<std::string> { throw std::system_error(ENOENT, std::generic_category(), "posix_spawn"); },
       [] { return jane; }, true},
      {"NobodyAtTheConsole", listing({}), [] { return std::optional<ConsoleUser>(); }, false},
      {"ConsoleLookupFailure", listing({}),
       [] () -> std::optional<ConsoleUser> { throw std::runtime_error("lookup"); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingRunner runner;
    EXPECT_NO_THROW(notifier(runner, c.commands, c.user).notify(event("Slack")));
    EXPECT_EQ(runner.calls().size(), c.posted ? 1u : 0u);
  }
}

TEST(ConsoleNotification, LauncherFailuresLeaveNoTrace) {
  const std::vector<std::function<std::string(const std::vector<std::string>&, bool)>> failures = {
      [](const std::vector<std::string>&, bool) -> std::string {
        throw std::system_error(ENOENT, std::generic_category(), "posix_spawn /bin/launchctl");
      },
      [](const std::vector<std::string>&, bool) -> std::string {
        throw HelperCommandError::commandFailed("execution error: Not authorised (-1743)");
      },
  };
  for (const auto& failure : failures) {
    RecordingRunner runner;
    runner.handle("/bin/launchctl", failure);
    EXPECT_NO_THROW(notifier(runner, [] { return std::vector<std::string>{}; }, [] { return jane; })
                        .notify(event("Slack")));
    EXPECT_EQ(runner.calls().size(), 1u);
  }
}

TEST(ConsoleNotification, ProcessListingSkipsBlankAndUndecodableLines) {
  const std::string output =
      "  /sbin/launchd\n"
      "\n"
      "   \t\n"
      "/Applications/Caf\xc3\xa9.app/Contents/MacOS/Caf\xc3\xa9 --arg  \r\n"
      "/tmp/bad-\xc3(\n"
      "/Applications/Vellorin.app/Contents/MacOS/Vellorin";
  EXPECT_EQ(ConsoleUserBlockedApplicationNotifier::parseProcessCommands(output),
            (std::vector<std::string>{"/sbin/launchd", "/Applications/Caf\xc3\xa9.app/Contents/MacOS/Caf\xc3\xa9 --arg",
                                      "/Applications/Vellorin.app/Contents/MacOS/Vellorin"}));

  const auto commands = ConsoleUserBlockedApplicationNotifier::runningProcessCommands();
  EXPECT_TRUE(std::any_of(commands.begin(), commands.end(),
                          [](const std::string& command) { return command.find("VellorinTests") != std::string::npos; }));
}

TEST(ConsoleUser, IsTheOwnerOfTheConsoleDeviceUnlessRootOrUnknown) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing file owners needs root";
  testing::TemporaryDirectory directory;
  const auto device = directory / "console";
  testing::writeTextFile(device, "");
  const auto ownedBy = [&](uid_t uid) {
    if (::lchown(device.c_str(), uid, 0) != 0) throw std::system_error(errno, std::generic_category(), "lchown");
    return ConsoleUserBlockedApplicationNotifier::consoleUserOwning(device.string());
  };
  EXPECT_EQ(ownedBy(65534), (ConsoleUser{65534, "nobody"}));
  EXPECT_EQ(ownedBy(0), std::nullopt);
  EXPECT_EQ(ownedBy(3999999), std::nullopt);  // no such user in the database
  EXPECT_EQ(ConsoleUserBlockedApplicationNotifier::consoleUserOwning((directory / "missing").string()), std::nullopt);

  // A link is judged by its own owner, never by what it points at.
  ownedBy(65534);
  const auto link = directory / "link";
  std::filesystem::create_symlink(device, link);
  EXPECT_EQ(ConsoleUserBlockedApplicationNotifier::consoleUserOwning(link.string()), std::nullopt);
}

TEST(ConsoleNotification, DefaultRunnerGivesUpOnAToolThatHangs) {
  // The script runner can wait on a consent prompt for ever; the daemon must not wait with it.
  const ConsoleUserBlockedApplicationNotifier defaults;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(defaults.processRunner("/bin/sh", {"-c", "exec sleep 30"}, true));
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            ConsoleUserBlockedApplicationNotifier::toolTimeLimit + 3s);
}

}  // namespace
}  // namespace vellorin
