// The built VellorinHelper binary, run with every location in a temporary sandbox.
#include <unistd.h>

#include <gtest/gtest.h>

#include "VellorinBlockerCore/Models.hpp"
#include "support/HelperProcess.hpp"
#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using namespace vellorin::testing;

constexpr uid_t nobody = 65534;

class HelperBinary : public ::testing::Test {
 protected:
  void SetUp() override { makeSandboxSystemDirectories(temp.path()); }
  HelperRun run(std::vector<std::string> arguments, bool dryRun = true, std::optional<uid_t> user = std::nullopt) {
    auto environment = sandboxEnvironment(temp.path(), dryRun);
    environment["PATH"] = "/usr/bin:/bin";
    return runHelper({std::move(arguments), environment, user});
  }
  std::string sessionFile(const HelperSession& session) {
    const auto path = temp / "session.json";
    writeTextFile(path, session.toJson().dump(), 0644);
    return path.string();
  }
  static std::string errorDocument(const std::string& message) {
    return encodeDocument(nlohmann::json{{"error", message}}) + "\n";
  }
  HelperPaths paths() const { return sandboxPaths(temp.path()); }

  TemporaryDirectory temp;
};

TEST_F(HelperBinary, ReportsCommandLineMistakesAsErrorDocuments) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "Missing helper argument: command"},
      {{"Apply"}, "Invalid helper command: Apply"},
      {{"APPLY", "x"}, "Invalid helper command: APPLY"},
      {{"--force", "restore"}, "Invalid helper command: --force"},
      {{"apply"}, "Missing helper argument: session-json-path"},
      {{"update"}, "Missing helper argument: session-json-path"},
      {{"apply", (temp / "missing.json").string()}, "Could not decode helper session JSON."},
  };
  for (const auto& [arguments, message] : cases) {
    const auto result = run(arguments);
    EXPECT_EQ(result.exitStatus, 1) << message;
    EXPECT_EQ(result.standardOutput, "") << message;
    EXPECT_EQ(result.standardError, errorDocument(message));
  }
  writeTextFile(temp / "malformed.json", "{\"id\": ");
  EXPECT_EQ(run({"apply", (temp / "malformed.json").string()}).standardError,
            errorDocument("Could not decode helper session JSON."));
}

TEST_F(HelperBinary, VersionStatusAndApplyPrintTheirDocuments) {
  const auto version = run({"version"}, false, nobody);
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_EQ(version.standardOutput, "{\n  \"helperVersion\": \"11\",\n  \"protocolVersion\": \"3\"\n}\n");

  const auto idle = run({"status"});
  EXPECT_EQ(idle.exitStatus, 0) << idle.standardError;
  const auto idleStatus = decodeDocument<HelperStatus>(idle.standardOutput);
  EXPECT_EQ(idleStatus, (HelperStatus{"idle", true, false, false, std::nullopt, "Status loaded."}));

  const auto session = makeSession("S1", 3600, (temp / "Nothing.app").string());
  const auto applied = run({"apply", sessionFile(session), "ignored"});
  ASSERT_EQ(applied.exitStatus, 0) << applied.standardError;
  EXPECT_EQ(decodeDocument<HelperStatus>(applied.standardOutput).activeSession, session);
  EXPECT_EQ(decodeDocument<HelperStatus>(run({"enforce"}).standardOutput).message, "Active session enforced.");
  EXPECT_EQ(decodeDocument<HelperStatus>(run({"process-commands"}).standardOutput).message,
            "Pending commands processed.");

  const auto locked = run({"cleanup"});
  EXPECT_EQ(locked.exitStatus, 1);
  EXPECT_EQ(locked.standardError,
            errorDocument("Session is locked until " + formatMillisecondDate(session.endsAt) + "."));
}

TEST_F(HelperBinary, RestoreTakesForceFromAnywhereAfterTheCommandWord) {
  const auto session = makeSession("S1", 3600, (temp / "Nothing.app").string());
  ASSERT_EQ(run({"apply", sessionFile(session)}).exitStatus, 0);
  EXPECT_EQ(run({"restore"}).exitStatus, 1);
  const auto restored = run({"restore", "x", "--force"});
  ASSERT_EQ(restored.exitStatus, 0) << restored.standardError;
  EXPECT_EQ(decodeDocument<HelperStatus>(restored.standardOutput).message, "Blocker restored.");
  EXPECT_FALSE(std::filesystem::exists(paths().statePath()));
}

TEST_F(HelperBinary, MutationsNeedRootOutsideDryRun) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
  std::filesystem::permissions(temp.path(), std::filesystem::perms::all);
  const std::string path = sessionFile(makeSession("S1", 3600));
  const std::string rootText = errorDocument("Helper mutation commands must run as root.");
  // A state file the helper could not decode: the root rule must come before reading it.
  writeTextFile(paths().statePath(), "garbage", 0644);
  std::filesystem::permissions(paths().stateDirectory, std::filesystem::perms::all);

  EXPECT_EQ(run({"apply", path}, false, nobody).standardError, rootText);
  EXPECT_EQ(run({"update", path}, false, nobody).standardError, rootText);
  EXPECT_EQ(run({"restore", "--force"}, false, nobody).standardError, rootText);

  writeTextFile(paths().statePath(), makeSession("S0", -5).toJson().dump(), 0644);
  const auto enforced = run({"enforce"}, false, nobody);
  EXPECT_EQ(enforced.exitStatus, 1);
  EXPECT_EQ(enforced.standardError, rootText);
  EXPECT_TRUE(std::filesystem::exists(paths().statePath()));

  std::filesystem::remove(paths().statePath());
  EXPECT_EQ(decodeDocument<HelperStatus>(run({"enforce"}, false, nobody).standardOutput).message,
            "No active session.");

  // Queued mutations are refused in their response; the unprivileged pass itself succeeds even
  // though it may not create the queue lock in the state directory.
  std::filesystem::permissions(paths().stateDirectory, std::filesystem::perms(0755));
  ASSERT_EQ(run({"process-commands"}, false, nobody).exitStatus, 0);
  writeTextFile(paths().commandDirectory / "c.request.json", R"({"id":"c","command":"cleanup"})");
  const auto pass = run({"process-commands"}, false, nobody);
  EXPECT_EQ(pass.exitStatus, 0) << pass.standardError;
  const auto response = readTextFile(paths().commandDirectory / "c.response.json");
  ASSERT_TRUE(response);
  EXPECT_EQ(decodeDocument<HelperCommandResponse>(*response).error, "Helper mutation commands must run as root.");
}

TEST_F(HelperBinary, TheDaemonAnswersRequestsMovedIntoTheDirectory) {
  auto environment = sandboxEnvironment(temp.path(), true);
  const pid_t daemon = startHelper({{"watch"}, environment, std::nullopt}, (temp / "daemon.err").string());
  struct Stop {
    pid_t pid;
    ~Stop() { stopHelper(pid); }
  } stop{daemon};

  const auto commands = paths().commandDirectory;
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(paths().commandProtocolPath()); },
                      std::chrono::seconds(10)));
  const auto session = makeSession("S1", 3600, (temp / "Nothing.app").string());
  writeTextFile(temp / "staged", HelperCommandRequest{"req-1", HelperCommandKind::apply, session, {}}.toJson().dump());
  std::filesystem::rename(temp / "staged", commands / "req-1.request.json");

  const auto responsePath = commands / "req-1.response.json";
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(responsePath); }, std::chrono::seconds(10)));
  const auto response = decodeDocument<HelperCommandResponse>(readTextFile(responsePath).value());
  EXPECT_TRUE(response.ok) << response.error.value_or("");
  EXPECT_EQ(response.status->message, "Session applied.");
  EXPECT_FALSE(std::filesystem::exists(commands / "req-1.request.json"));

  // A failing pass is reported on standard error and the daemon keeps answering afterwards.
  writeTextFile(paths().statePath(), "garbage");
  ASSERT_TRUE(waitFor([&] { return readTextFile(temp / "daemon.err").value_or("") != ""; }, std::chrono::seconds(10)));
  std::filesystem::remove(paths().statePath());
  writeTextFile(temp / "staged", R"({"id":"req-2","command":"cleanup"})");
  std::filesystem::rename(temp / "staged", commands / "req-2.request.json");
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(commands / "req-2.response.json"); },
                      std::chrono::seconds(15)));
  EXPECT_EQ(decodeDocument<HelperCommandResponse>(readTextFile(commands / "req-2.response.json").value()).status->message,
            "Expired session restored.");
}

}  // namespace
}  // namespace vellorin
