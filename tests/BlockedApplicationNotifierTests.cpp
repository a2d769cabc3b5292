// Tests of the console-user notification: the launcher call, its escaping and when it is skipped.
#include "VellorinBlockerCore/BlockedApplicationNotifier.hpp"

#include <gtest/gtest.h>

#include <system_error>

#include "support/TestSupport.hpp"

namespace vellorin {
namespace {

using testing::RecordedCall;
using testing::RecordingRunner;

const ConsoleUser jane{501, "jane"};

HelperBlockedAppEvent event(const std::string& name) {
  return HelperBlockedAppEvent{"e1", "s1", "com.example.chat", name, "/Applications/X.app", {}};
}

std::vector<RecordedCall> notified(RecordingRunner& runner, const std::string& name,
                                   RunningProcessCommandsProvider commands, ConsoleUserProvider user) {
  EXPECT_NO_THROW(ConsoleUserBlockedApplicationNotifier(runner.runner(), commands, user).notify(event(name)));
  return runner.calls();
}

TEST(ConsoleNotification, RunsTheLauncherWithTheEscapedScript) {
  const std::string suffix = " is locked until your focus session ends.\" with title \"Blocked by Vellorin\"";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Chat", "Chat"}, {"", "com.example.chat"}, {"My \"Best\" App", "My \\\"Best\\\" App"},
      {"a\\\"b", "a\\\\\\\"b"}};  // a\"b: backslash doubled, quote escaped
  for (const auto& [name, escaped] : cases) {
    RecordingRunner runner;
    const std::vector<std::string> arguments = {"asuser", "501", "/usr/bin/sudo", "-u", "jane", "/usr/bin/osascript",
                                                "-e", "display notification \"" + escaped + suffix};
    EXPECT_EQ(notified(runner, name, [] { return std::vector<std::string>{"/sbin/launchd"}; }, [] { return jane; }),
              (std::vector<RecordedCall>{{"/bin/launchctl", arguments, true}}));
  }
}

TEST(ConsoleNotification, PostsOnlyWhenSomeoneIsAtTheConsoleAndTheFocusApplicationIsNotRunning) {
  const auto listing = [](std::vector<std::string> commands) { return [commands] { return commands; }; };
  const auto janeAtConsole = [] { return std::optional<ConsoleUser>(jane); };
  const std::vector<std::tuple<RunningProcessCommandsProvider, ConsoleUserProvider, size_t>> cases = {
      {listing({"/bin/zsh", "/Applications/Vellorin.app/Contents/MacOS/Vellorin -psn_0_1"}), janeAtConsole, 0},
      {listing({"/Users/bob/Applications/Vellorin.app/Contents/MacOS/Vellorin"}), janeAtConsole, 0},
      {listing({"/Library/PrivilegedHelperTools/VellorinHelper watch"}), janeAtConsole, 1},  // the helper alone
      {[]() -> std::vector<std::string> { throw std::runtime_error("ps"); }, janeAtConsole, 1},  // listing fails
      {listing({}), [] { return std::optional<ConsoleUser>(); }, 0},
      {listing({}), []() -> std::optional<ConsoleUser> { throw std::runtime_error("lookup"); }, 0},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    RecordingRunner runner;
    EXPECT_EQ(notified(runner, "Chat", std::get<0>(cases[i]), std::get<1>(cases[i])).size(), std::get<2>(cases[i]))
        << "case " << i;
  }
}

TEST(ConsoleNotification, LauncherFailuresAreSwallowed) {
  for (const bool launchFails : {true, false}) {
    RecordingRunner runner;
    runner.handle("/bin/launchctl", [launchFails](const std::vector<std::string>&, bool) -> std::string {
      if (launchFails) throw std::system_error(ENOENT, std::generic_category(), "posix_spawn /bin/launchctl");
      throw HelperCommandError::commandFailed("execution error: Not authorised (-1743)");
    });
    EXPECT_EQ(notified(runner, "Chat", [] { return std::vector<std::string>{}; }, [] { return jane; }).size(), 1u);
  }
}

}  // namespace
}  // namespace vellorin
