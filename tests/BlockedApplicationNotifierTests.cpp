// Tests of the console-user notification: the launcher call, its escaping and when it is skipped.
#include "VellorinBlockerCore/BlockedApplicationNotifier.hpp"

#include "VellorinBlockerCore/EventLog.hpp"

#include <gtest/gtest.h>

#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using testing::RecordedCall;
using testing::RecordingRunner;

const ConsoleUser jane{501, "jane"};

std::vector<RecordedCall> notified(RecordingRunner& runner, const std::string& name,
                                   RunningProcessCommandsProvider commands, ConsoleUserProvider user) {
  ConsoleUserBlockedApplicationNotifier(runner.runner(), std::move(commands), std::move(user))
      .notify(HelperBlockedAppEvent{"e1", "s1", "com.example.chat", name, "/Applications/X.app", {}});
  return runner.calls();
}

// Any local user may name the applications of a session: a name must never end the script early.
TEST(ConsoleNotification, RunsTheLauncherWithTheEscapedScript) {
  const std::string suffix = " is locked until your focus session ends.\" with title \"Blocked by Vellorin\"";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "com.example.chat"}, {"My \"Best\" App", "My \\\"Best\\\" App"}, {"a\\\"b", "a\\\\\\\"b"}};
  for (const auto& [name, escaped] : cases) {
    RecordingRunner runner;
    const std::vector<std::string> arguments = {"asuser",
                                                "501",
                                                "/usr/bin/sudo",
                                                "-u",
                                                "jane",
                                                "/usr/bin/osascript",
                                                "-e",
                                                "display notification \"" + escaped + suffix};
    EXPECT_EQ(
        notified(
            runner, name, [] { return std::vector<std::string>{"/sbin/launchd"}; }, [] { return jane; }),
        (std::vector<RecordedCall>{{.executable = "/bin/launchctl", .arguments = arguments, .allowFailure = true}}));
  }
}

// The focus application is looked for in the process listing as "/bin/ps -axo command=" prints
// it, where one line that is not UTF-8 must not hide it, and the helper is not taken for it.
TEST(ConsoleNotification, PostsOnlyWhenSomeoneIsAtTheConsoleAndTheFocusApplicationIsNotRunning) {
  const std::string listing =
      "/sbin/launchd\n  /usr/libexec/logd\n/Library/PrivilegedHelperTools/VellorinHelper watch\n"
      "/Applications/Bad\xff.app/Contents/MacOS/Bad\n";
  const std::string focus = "/Users/bob/Applications/Vellorin.app/Contents/MacOS/Vellorin -psn_0_1\n";
  const ConsoleUserProvider janeAtConsole = [] { return jane; }, nobody = [] { return std::nullopt; };
  const ConsoleUserProvider broken = []() -> std::optional<ConsoleUser> { throw std::runtime_error("lookup"); };
  const std::vector<std::tuple<std::optional<std::string>, ConsoleUserProvider, size_t>> cases = {
      {listing, janeAtConsole, 2},
      {listing + focus, janeAtConsole, 1},
      {std::nullopt, janeAtConsole, 2},  // a listing that fails: better an extra notification than none
      {listing, nobody, 1},
      {listing, broken, 1}};
  for (const auto& [output, user, calls] : cases) {
    RecordingRunner runner;
    runner.handle("/bin/ps", [output = output](const std::vector<std::string>&, bool) -> std::string {
      if (!output) throw std::system_error(ENOENT, std::generic_category(), "posix_spawn /bin/ps");
      return *output;
    });
    runner.handle("/bin/launchctl", [](const std::vector<std::string>&, bool) -> std::string {
      throw HelperCommandError::commandFailed("execution error: Not authorised (-1743)");  // swallowed
    });
    const ProcessRunner run = runner.runner();
    const auto commands = [run] { return ConsoleUserBlockedApplicationNotifier::runningProcessCommands(run); };
    EXPECT_EQ(notified(runner, "Chat", commands, user).size(), calls) << output.value_or("(no listing)");
    EXPECT_EQ(runner.calls()[0],
              (RecordedCall{.executable = "/bin/ps", .arguments = {"-axo", "command="}, .allowFailure = true}));
  }
}

// An application is announced once per cooldown, counted from a notification that started: one the
// notifier could not start (every launcher place taken, say) is tried again with the next event.
TEST(NotificationCooldown, CountsOnlyFromANotificationThatStarted) {
  struct Notifier final : HelperBlockedApplicationNotifier {
    bool starts = false;
    int calls = 0;
    bool notify(const HelperBlockedAppEvent& /*event*/) override { return ++calls, starts; }
  } notifier;
  NotificationCooldown cooldown(30.0);
  const HelperBlockedAppEvent chat{"e1", "s1", "com.example.chat", "Chat", "/Applications/Chat.app", {}};
  cooldown.notify({chat, chat}, TimePoint{}, notifier);
  EXPECT_EQ(notifier.calls, 2) << "neither started, so neither set the cooldown";
  notifier.starts = true;
  for (const int seconds : {1, 29, 32})
    cooldown.notify({chat, chat}, TimePoint{} + std::chrono::seconds(seconds), notifier);
  EXPECT_EQ(notifier.calls, 4) << "at 1 s and at 32 s, once each";
}

}  // namespace
}  // namespace vellorin
