// What only the built binary shows: the command dispatch, exit statuses, the exact texts on
// standard error, the root rule across a real privilege drop, and the daemon outliving a failed pass.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "VellorinBlockerCore/Models.hpp"
#include "support/ChildProcess.hpp"
#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using namespace vellorin::testing;

constexpr uid_t nobody = 65534;

class HelperBinary : public ::testing::Test {
 protected:
  void SetUp() override { makeSandboxSystemDirectories(temp.path()); }
  HelperRun run(const std::vector<std::string>& arguments, bool dryRun = true, std::optional<uid_t> user = {}) {
    return runHelper(arguments, sandboxEnvironment(temp.path(), dryRun), user);
  }
  std::string sessionFile(const HelperSession& session) {
    writeTextFile(temp / "session.json", session.toJson().dump(), 0644);
    return (temp / "session.json").string();
  }
  static std::string errorDocument(const std::string& message) {
    return encodeDocument(nlohmann::json{{"error", message}}) + "\n";
  }

  TemporaryDirectory temp;
  HelperPaths paths = sandboxPaths(temp.path());
};

TEST_F(HelperBinary, DispatchesCommandWordsAndReportsMistakesOnStandardError) {
  const auto version = run({"version"}, false, nobody);
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_EQ(version.standardOutput, "{\n  \"helperVersion\": \"11\",\n  \"protocolVersion\": \"3\"\n}\n");

  writeTextFile(temp / "malformed.json", "{\"id\": ");
  const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes = {
      {{}, "Missing helper argument: command"},
      {{"APPLY", "x"}, "Invalid helper command: APPLY"},
      {{"--force", "restore"}, "Invalid helper command: --force"},
      {{"update"}, "Missing helper argument: session-json-path"},
      {{"apply", (temp / "missing.json").string()}, "Could not decode helper session JSON."},
      {{"apply", (temp / "malformed.json").string()}, "Could not decode helper session JSON."},
  };
  for (const auto& [arguments, message] : mistakes) {
    const auto result = run(arguments);
    EXPECT_EQ(result.exitStatus, 1) << message;
    EXPECT_EQ(result.standardOutput, "") << message;
    EXPECT_EQ(result.standardError, errorDocument(message));
  }

  const auto session = makeSession("S1", 3600, (temp / "Nothing.app").string());
  ASSERT_EQ(run({"apply", sessionFile(session), "ignored"}).exitStatus, 0);
  for (const auto& [command, message] : std::vector<std::pair<std::string, std::string>>{
           {"status", "Status loaded."}, {"enforce", "Active session enforced."},
           {"process-commands", "Pending commands processed."}}) {
    EXPECT_EQ(decodeDocument<HelperStatus>(run({command}).standardOutput).message, message);
  }
  EXPECT_EQ(run({"cleanup"}).standardError,
            errorDocument("Session is locked until " + formatMillisecondDate(session.endsAt) + "."));
  EXPECT_EQ(run({"restore"}).exitStatus, 1);
  const auto restored = run({"restore", "x", "--force"});
  ASSERT_EQ(restored.exitStatus, 0) << restored.standardError;
  EXPECT_EQ(decodeDocument<HelperStatus>(restored.standardOutput).phase, "idle");
}

TEST_F(HelperBinary, AResultThatCannotBeWrittenIsAFailure) {
  ChildProcess full({helperBinary(), "version"}, {.environment = sandboxEnvironment(temp.path(), true),
                                                  .standardOutput = "/dev/full",
                                                  .standardError = (temp / "err").string()});
  const auto status = full.waitForExit(std::chrono::seconds(30));
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 1);
  EXPECT_EQ(readTextFile(temp / "err"), errorDocument("write standard output: No space left on device"));
}

TEST_F(HelperBinary, MutationsNeedRootOutsideDryRun) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
  std::filesystem::permissions(temp.path(), std::filesystem::perms::all);
  const std::string path = sessionFile(makeSession("S1", 3600));
  const std::string rootText = errorDocument("Helper mutation commands must run as root.");
  // A state file the helper could not decode: the root rule must come before reading it.
  writeTextFile(paths.statePath(), "garbage", 0644);
  for (const auto& arguments : std::vector<std::vector<std::string>>{{"apply", path}, {"update", path}, {"restore", "--force"}}) {
    EXPECT_EQ(run(arguments, false, nobody).standardError, rootText) << arguments[0];
  }
  writeTextFile(paths.statePath(), makeSession("S0", -5).toJson().dump(), 0644);
  EXPECT_EQ(run({"enforce"}, false, nobody).standardError, rootText);
  EXPECT_TRUE(std::filesystem::exists(paths.statePath()));

  // Queued mutations are refused in their response; the unprivileged pass itself succeeds although
  // it may not create the queue lock in the state directory.
  ASSERT_EQ(run({"process-commands"}, false, nobody).exitStatus, 0);
  writeTextFile(paths.commandDirectory / "c.request.json", R"({"id":"c","command":"cleanup"})");
  EXPECT_EQ(run({"process-commands"}, false, nobody).exitStatus, 0);
  const auto response = readTextFile(paths.commandDirectory / "c.response.json");
  ASSERT_TRUE(response);
  EXPECT_EQ(decodeDocument<HelperCommandResponse>(*response).error, "Helper mutation commands must run as root.");
}

TEST_F(HelperBinary, TheDaemonAnswersRequestsMovedInAndOutlivesAFailedPass) {
  ChildProcess daemon({helperBinary(), "watch"}, {.environment = sandboxEnvironment(temp.path(), true),
                                                  .standardError = (temp / "daemon.err").string()});
  const auto drop = [&](const std::string& id, const std::string& body) {
    writeTextFile(temp / "staged", body);
    std::filesystem::rename(temp / "staged", paths.commandRequestPath(id));
    EXPECT_TRUE(waitFor([&] { return std::filesystem::exists(paths.commandResponsePath(id)); }, std::chrono::seconds(15)));
    return decodeDocument<HelperCommandResponse>(readTextFile(paths.commandResponsePath(id)).value());
  };
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(paths.commandDirectory); }, std::chrono::seconds(10)));

  const auto session = makeSession("S1", 3600, (temp / "Nothing.app").string());
  EXPECT_EQ(drop("r1", HelperCommandRequest{"r1", HelperCommandKind::apply, session, {}}.toJson().dump()).status->message,
            "Session applied.");
  writeTextFile(paths.statePath(), "garbage");
  ASSERT_TRUE(waitFor([&] { return !readTextFile(temp / "daemon.err").value_or("").empty(); }, std::chrono::seconds(10)));
  std::filesystem::remove(paths.statePath());
  EXPECT_EQ(drop("r2", R"({"id":"r2","command":"cleanup"})").status->message, "Expired session restored.");
}

// An application whose name is not ASCII is ended however the daemon was started. Under launchd's
// bare environment, env -i or LC_ALL=C the tools it runs must still get a UTF-8 character locale,
// or the process listing shows the name escaped; with its standard descriptors closed a tool must
// still get a standard input, and nothing the daemon opens may take the place of its output.
TEST_F(HelperBinary, EndsAnApplicationWithANonAsciiNameHoweverTheDaemonWasStarted) {
  if (::geteuid() != 0) GTEST_SKIP() << "the daemon signals an ordinary user's application";
  std::filesystem::permissions(temp.path(), std::filesystem::perms(0755));
  const auto bundle = temp / "Caf\xC3\xA9.app";
  const auto program = bundle / "Contents/MacOS/Caf\xC3\xA9";
  std::filesystem::create_directories(program.parent_path());
  std::filesystem::copy_file(std::filesystem::canonical("/bin/sleep"), program);
  writeTextFile(paths.statePath(), makeSession("S1", 3600, bundle.string()).toJson().dump());

  using Environment = std::map<std::string, std::string>;
  const auto sandbox = [&](Environment extra) {
    extra.merge(sandboxEnvironment(temp.path(), false));
    return extra;
  };
  const std::vector<std::tuple<std::string, Environment, std::vector<int>>> starts = {
      {"env -i", sandbox({}), {}},
      {"launchd", sandbox({{"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"}, {"XPC_SERVICE_NAME", "app.vellorin.helper"}}), {}},
      {"LC_ALL=C", sandbox({{"LC_ALL", "C"}, {"LANG", "C.UTF-8"}}), {}},
      {"descriptors closed", sandbox({}), {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}},
  };
  for (const auto& [start, environment, closed] : starts) {
    ChildProcess application({program.string(), "30"}, {.user = nobody});
    ChildProcess daemon({helperBinary(), "watch"}, {.environment = environment, .closedDescriptors = closed});
    const auto ended = application.waitForExit(std::chrono::seconds(10));
    EXPECT_TRUE(ended && WIFSIGNALED(*ended)) << start;
    for (const int fd : closed) {
      std::error_code error;
      const auto link = "/proc/" + std::to_string(daemon.pid()) + "/fd/" + std::to_string(fd);
      EXPECT_EQ(std::filesystem::read_symlink(link, error), std::filesystem::path("/dev/null")) << fd;
    }
  }
}

}  // namespace
}  // namespace vellorin
