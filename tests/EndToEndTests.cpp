// What only the built binary shows: the command dispatch, exit statuses, the exact texts on
// standard error, the root rule across a real privilege drop, and the real daemon ending real
// applications however it was started.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>

#include "VellorinBlockerCore/HostsBlocker.hpp"
#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/Text.hpp"
#include "support/ChildProcess.hpp"
#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using namespace vellorin::testing;

constexpr uid_t nobody = 65534;

// Runs a program to its end, its output discarded; true when it exits with status 0.
bool succeeds(const std::vector<std::string>& arguments) {
  ChildProcess child(arguments, {.standardError = "/dev/null"});
  const auto status = child.waitForExit(std::chrono::seconds(10));
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

class HelperBinary : public ::testing::Test {
 protected:
  void SetUp() override { makeSandboxSystemDirectories(temp.path()); }
  HelperRun run(const std::vector<std::string>& arguments, Sandbox mode = Sandbox::dryRun,
                std::optional<uid_t> user = {}) {
    return runHelper(arguments, sandboxEnvironment(temp.path(), mode), user);
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
  EXPECT_EQ(run({"version"}, Sandbox::real, nobody).standardOutput,
            "{\n  \"helperVersion\": \"11\",\n  \"protocolVersion\": \"3\"\n}\n");

  writeTextFile(temp / "malformed.json", "{\"id\": ");
  const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes = {
      {{}, "Missing helper argument: command"},
      {{"APPLY", "x"}, "Invalid helper command: APPLY"},
      {{"--force", "restore"}, "Invalid helper command: --force"},
      {{"apply", (temp / "missing.json").string()}, "Could not decode helper session JSON."},
      {{"apply", (temp / "malformed.json").string()}, "Could not decode helper session JSON."},
  };
  for (const auto& [arguments, message] : mistakes) {
    const auto result = run(arguments);
    EXPECT_EQ(std::tuple(result.exitStatus, result.standardOutput, result.standardError),
              std::tuple(1, std::string(), errorDocument(message)));
  }

  const auto session = makeSession("S1", 3600, (temp / "Nothing.app").string());
  ASSERT_EQ(run({"apply", sessionFile(session), "ignored"}).exitStatus, 0);
  EXPECT_EQ(decodeDocument<HelperStatus>(run({"status"}).standardOutput).message, "Status loaded.");
  EXPECT_EQ(decodeDocument<HelperStatus>(run({"process-commands"}).standardOutput).message,
            "Pending commands processed.");
  EXPECT_EQ(run({"cleanup"}).standardError,
            errorDocument("Session is locked until " + formatMillisecondDate(session.endsAt) + "."));
  EXPECT_EQ(decodeDocument<HelperStatus>(run({"restore", "x", "--force"}).standardOutput).message, "Blocker restored.");
  // A result that cannot be written (standard output closed) is a failure.
  ChildProcess closed({helperBinary(), "version"}, {.closedDescriptors = {STDOUT_FILENO}});
  const auto status = closed.waitForExit(std::chrono::seconds(30));
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
}

TEST_F(HelperBinary, MutationsNeedRootOutsideDryRun) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
  std::filesystem::permissions(temp.path(), std::filesystem::perms::all);
  const std::string path = sessionFile(makeSession("S1", 3600));
  const std::string rootText = errorDocument("Helper mutation commands must run as root.");
  // A state file the helper could not decode: the root rule must come before reading it.
  writeTextFile(paths.statePath(), "garbage", 0644);
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{"apply", path}, {"update", path}, {"restore", "--force"}}) {
    EXPECT_EQ(run(arguments, Sandbox::real, nobody).standardError, rootText) << arguments[0];
  }
  writeTextFile(paths.statePath(), makeSession("S0", -5).toJson().dump(), 0644);
  EXPECT_EQ(run({"enforce"}, Sandbox::real, nobody).standardError, rootText);
  EXPECT_TRUE(std::filesystem::exists(paths.statePath()));

  // Queued mutations are refused in their response; the unprivileged pass itself succeeds although
  // it may not create the queue lock in the state directory.
  ASSERT_EQ(run({"process-commands"}, Sandbox::real, nobody).exitStatus, 0);
  writeTextFile(paths.commandDirectory / "c.request.json", R"({"id":"c","command":"cleanup"})");
  EXPECT_EQ(run({"process-commands"}, Sandbox::real, nobody).exitStatus, 0);
  EXPECT_EQ(
      decodeDocument<HelperCommandResponse>(readTextFile(paths.commandDirectory / "c.response.json").value()).error,
      "Helper mutation commands must run as root.");
}

// The real daemon ends an ordinary user's application whose name is not ASCII, one that ignores
// SIGTERM too, and never root's copy, however it was started. Under launchd's bare environment,
// env -i or LC_ALL=C its tools must still get a UTF-8 character locale, or the process listing
// shows the name escaped; with its standard descriptors closed a tool must still get a standard
// input, and nothing the daemon opens may take the place of its output.
TEST_F(HelperBinary, EndsAnApplicationWithANonAsciiNameHoweverTheDaemonWasStarted) {
  if (::geteuid() != 0) GTEST_SKIP() << "the daemon signals an ordinary user's application";
  std::filesystem::permissions(temp.path(), std::filesystem::perms(0755));
  const auto bundle = temp / "Caf\xC3\xA9.app";
  const auto program = (bundle / "Contents/MacOS/Caf\xC3\xA9").string();
  std::filesystem::create_directories(bundle / "Contents/MacOS");
  std::filesystem::copy_file(std::filesystem::canonical("/bin/sleep"), program);
  writeTextFile(paths.statePath(), makeSession("S1", 3600, bundle.string()).toJson().dump());

  using Environment = std::map<std::string, std::string>;
  const auto sandbox = [&](Environment extra) {
    return extra.merge(sandboxEnvironment(temp.path(), Sandbox::real)), extra;
  };
  const std::vector<std::tuple<std::string, Environment, std::vector<int>>> starts = {
      {"env -i", sandbox({}), {}},
      {"LC_ALL=C", sandbox({{"LC_ALL", "C"}, {"LANG", "C.UTF-8"}}), {}},
      {"descriptors closed", sandbox({}), {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}},
  };
  ChildProcess stubborn({program, "30"}, {.user = nobody, .ignoreTermination = true});
  ChildProcess roots({program, "30"}, {.user = 0});
  for (const auto& [start, environment, closed] : starts) {
    ChildProcess application({program, "30"}, {.user = nobody});
    ChildProcess daemon({helperBinary(), "watch"}, {.environment = environment, .closedDescriptors = closed});
    const auto ended = application.waitForExit(std::chrono::seconds(10));
    EXPECT_TRUE(ended && WIFSIGNALED(*ended)) << start;
    if (start == "env -i") {  // the daemon goes on to force the one that ignores SIGTERM
      const auto forced = stubborn.waitForExit(std::chrono::seconds(5));
      EXPECT_TRUE(forced && WIFSIGNALED(*forced) && WTERMSIG(*forced) == SIGKILL);
    }
    for (const int fd : closed) {
      std::error_code error;
      const auto link = "/proc/" + std::to_string(daemon.pid()) + "/fd/" + std::to_string(fd);
      EXPECT_EQ(std::filesystem::read_symlink(link, error), std::filesystem::path("/dev/null")) << fd;
    }
  }
  EXPECT_FALSE(roots.waitForExit(std::chrono::milliseconds(0))) << "root's processes are never signalled";
  // A forced restore clears it all (in dry-run mode: the cache flush would signal the machine's resolver).
  auto dryRun = sandboxEnvironment(temp.path(), Sandbox::dryRun);
  const auto restored = runHelper({"restore", "--force"}, (dryRun["LC_ALL"] = "C", dryRun));
  EXPECT_EQ(decodeDocument<HelperStatus>(restored.standardOutput).message, "Blocker restored.");
  EXPECT_EQ(readTextFile(paths.hostsPath), std::string(defaultHostsContent));
}

// Two helper processes that apply different sessions at once: one stores its session, the other is
// refused by the lock the first one set. Never are both told "Session applied.".
TEST_F(HelperBinary, ConcurrentAppliesStoreOneSessionAndRefuseTheOther) {
  const auto environment = sandboxEnvironment(temp.path(), Sandbox::dryRun);
  for (int attempt = 0; attempt < 10; ++attempt) {
    ASSERT_EQ(run({"restore", "--force"}).exitStatus, 0);
    std::map<std::string, std::unique_ptr<ChildProcess>> applies;
    for (const std::string id : {"A", "B"}) {
      writeTextFile(temp / id, makeSession(id, 3600).toJson().dump(), 0644);
      applies[id] = std::make_unique<ChildProcess>(
          std::vector<std::string>{helperBinary(), "apply", (temp / id).string()},
          ChildProcess::Options{.environment = environment, .standardOutput = temp / (id + ".out")});
    }
    std::vector<std::string> applied;
    for (const auto& [id, process] : applies) {
      ASSERT_TRUE(process->waitForExit(std::chrono::seconds(30)));
      if (contains(readTextFile(temp / (id + ".out")).value_or(""), "\"Session applied.\"")) applied.push_back(id);
    }
    ASSERT_EQ(applied.size(), 1u) << "attempt " << attempt;
    EXPECT_EQ(decodeDocument<HelperSession>(readTextFile(paths.statePath()).value()).id, applied[0]);
  }
}

// Whatever the parent left: with SIGCHLD ignored (which execve keeps) a tool's end is still seen,
// so the process listing works, and with no file-creation mask no directory is open to everyone.
TEST_F(HelperBinary, NothingTheParentLeftChangesWhatTheHelperDoes) {
  writeTextFile(paths.statePath(), makeSession("S1", 3600, (temp / "X.app").string()).toJson().dump());
  auto environment = sandboxEnvironment(temp.path(), Sandbox::dryRun);
  environment["VELLORIN_COMMAND_DIR"] = (temp / "created/Shared/Commands").string();
  ChildProcess queue({"/bin/sh", "-c", "umask 0; exec \"$0\" process-commands", helperBinary()},
                     {.environment = environment});
  EXPECT_TRUE(queue.waitForExit(std::chrono::seconds(10)));
  // The shell cannot leave SIGCHLD ignored; perl can.
  ChildProcess helper({"/usr/bin/perl", "-e", "$SIG{CHLD} = 'IGNORE'; exec @ARGV", helperBinary(), "enforce"},
                      {.environment = environment, .standardOutput = (temp / "out").string()});
  const auto status = helper.waitForExit(std::chrono::seconds(10));
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_EQ(decodeDocument<HelperStatus>(readTextFile(temp / "out").value_or("{}")).message,
            "Active session enforced.");
  EXPECT_EQ(fileMode(temp / "created"), 0755u) << "created under the helper's own mask";
}

// A process listing that never ends (in a private mount namespace, over /bin/ps) fails the
// daemon's pass at its limit, with what it started, and the queue is answered in the next pass.
TEST_F(HelperBinary, AProcessListingThatNeverEndsStillLetsTheDaemonAnswerTheQueue) {
  // A container without CAP_SYS_ADMIN refuses a mount namespace even to root.
  const bool mayMount = succeeds({"/usr/bin/unshare", "-m", "/bin/mount", "--bind", "/bin/true", "/bin/true"});
  if (!mayMount) GTEST_SKIP() << "this machine refuses a private mount namespace with a bind mount";
  const auto stuck = temp / "ps";
  writeTextFile(
      stuck, "#!/bin/sh\n/bin/sleep 600 &\necho $! >" + (temp / "started").string() + "\nexec /bin/sleep 600\n", 0755);
  writeTextFile(paths.statePath(), makeSession("S1", 3600, (temp / "X.app").string()).toJson().dump());
  const std::string log = (temp / "daemon.log").string();
  ChildProcess daemon({"/usr/bin/unshare", "-m", "/bin/sh", "-c", "/bin/mount --bind \"$0\" /bin/ps && exec \"$@\"",
                       stuck.string(), helperBinary(), "watch"},
                      {.environment = sandboxEnvironment(temp.path(), Sandbox::dryRun), .standardError = log});
  pid_t started = 0;  // by the first listing
  ASSERT_TRUE(
      waitFor([&] { return static_cast<bool>(std::ifstream(temp / "started") >> started); }, std::chrono::seconds(10)));
  writeTextFile(paths.commandDirectory / "c.request.json", R"({"id":"c","command":"cleanup"})");
  const auto queued = std::chrono::steady_clock::now();
  EXPECT_TRUE(waitFor([&] { return std::filesystem::exists(paths.commandDirectory / "c.response.json"); },
                      std::chrono::seconds(20)));
  EXPECT_LT(std::chrono::steady_clock::now() - queued, std::chrono::seconds(20));
  EXPECT_TRUE(contains(readTextFile(log).value_or(""), "/bin/ps did not finish within 10 seconds and was stopped"));
  EXPECT_TRUE(waitFor([&] { return processHasEnded(started); }, std::chrono::seconds(2))) << "what the tool started";
  // A daemon told to stop while it waits for the tool takes the tool's group along.
  ASSERT_TRUE(waitFor([&] { return std::ifstream(temp / "started") >> started && !processHasEnded(started); },
                      std::chrono::seconds(10)));
  ::kill(daemon.pid(), SIGTERM);
  EXPECT_TRUE(daemon.waitForExit(std::chrono::seconds(5)));
  EXPECT_TRUE(waitFor([&] { return processHasEnded(started); }, std::chrono::seconds(2)))
      << "what the next listing started";
}

}  // namespace
}  // namespace vellorin
