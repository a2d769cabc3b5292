// The session lock, enforcement and restore of the service, in a sandbox.
#include <gtest/gtest.h>

#include <algorithm>

#include "VellorinBlockerCore/Limits.hpp"
#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using namespace vellorin::testing;

// Once stored, a session holds until its end: no other apply, no restore without force, and a
// state file that cannot be decoded is reported, never replaced.
TEST(SessionLifecycle, ASessionIsLockedUntilItsEndAndOnlyAForcedRestoreClearsIt) {
  ServiceFixture fixture;
  fixture.processes->push_back({4242, 1, "/Applications/Chat.app"});
  auto service = fixture.makeService();
  EXPECT_EQ(service->apply(makeSession("old", -10)).phase, "expired") << "an expired session is replaced";
  const auto session = makeSession("S1", 3600);
  EXPECT_EQ(service->apply(session),
            (HelperStatus{
                .phase = "active", .helperInstalled = true, .activeSession = session, .message = "Session applied."}));
  const auto stored = readTextFile(fixture.paths.statePath());
  for (const auto& refused : std::vector<std::function<void()>>{
           [&] { service->apply(makeSession("S2", 60)); }, [&] { service->restore(RestoreForce::unlessActive, ""); },
           [&] { service->cleanupIfExpired(); }}) {
    EXPECT_EQ(failureText(refused), "Session is locked until " + formatMillisecondDate(session.endsAt) + ".");
  }
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);

  service->restore(RestoreForce::evenIfActive, "");
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath()) ||
               std::filesystem::exists(fixture.paths.blockedApplicationEventsPath()));
  EXPECT_EQ(service->cleanupIfExpired().message, "Expired session restored.") << "nothing left is no failure";
  service->apply(makeSession("S2", -1));
  EXPECT_EQ(service->enforceActiveSession(),
            (HelperStatus{.phase = "idle", .helperInstalled = true, .message = "Expired session restored."}));
  writeTextFile(fixture.paths.statePath(), "{not json");
  EXPECT_THROW(service->apply(makeSession("S", 60)), std::exception);
  EXPECT_THROW(service->restore(RestoreForce::unlessActive, ""), std::exception);
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), "{not json");
  service->restore(RestoreForce::evenIfActive, "");  // force never reads the state file
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath()));
  writeTextFile(fixture.paths.statePath() / "inside", "");
  EXPECT_THROW(service->restore(RestoreForce::evenIfActive, ""), std::system_error)
      << "a state path that stays is no success";
}

TEST(SessionLifecycle, ASessionOverTheMaximumIsRefusedBeforeAnythingIsStored) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  auto session = makeSession("S1", 3600);
  session.websites.assign(limits::maximumSessionWebsites + 1,
                          HelperWebsite(session.websites[0]));  // a copy: no aliasing
  EXPECT_EQ(failureText([&] { service->apply(session); }),
            "Session holds 1001 websites; a session may hold at most 1000.");
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath()));
  session.websites.resize(1);
  session.browserBlockingApps.assign(limits::maximumSessionApplications - 1, session.apps[0]);
  EXPECT_EQ(service->apply(session).message, "Session applied.") << "the maximum itself is allowed";
  const auto stored = readTextFile(fixture.paths.statePath());
  session.browserBlockingApps.push_back(session.apps[0]);
  EXPECT_EQ(failureText([&] { service->update(session); }),
            "Session holds 1001 applications; a session may hold at most 1000.");
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);
}

TEST(SessionLifecycle, UpdateRulesAreCheckedInOrderAndEverythingElseMayChange) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  EXPECT_EQ(failureText([&] { service->update(makeSession("S1", 60)); }), "No active session is available to update.");
  const auto existing = makeSession("S1", 3600);
  service->apply(existing);

  const std::vector<std::pair<std::string, std::function<void(HelperSession&)>>> rejected = {
      {"Active session id does not match.",
       [](HelperSession& s) { s.id = "other", s.profileName = "x", s.apps.clear(); }},
      {"Active session identity cannot be changed during a lock.", [](HelperSession& s) { s.profileName = "Other"; }},
      {"Active session time cannot be shortened.", [](HelperSession& s) { s.endsAt -= std::chrono::seconds(1); }},
      {"Active session targets cannot be removed during a lock.", [](HelperSession& s) { s.apps.clear(); }},
      {"Active session targets cannot be removed during a lock.", [](HelperSession& s) { s.websites[0].id = "w2"; }},
  };
  for (const auto& [text, change] : rejected) {
    HelperSession next = existing;
    change(next);
    EXPECT_EQ(failureText([&] { service->update(next); }), text);
    EXPECT_EQ(service->status("").activeSession, existing) << text;
  }

  HelperSession next = existing;
  next.endsAt += std::chrono::seconds(600);
  next.apps[0].path = "/Applications/Other.app";
  next.apps.push_back({"a2", "com.example.mail", "Mail", "/Applications/Mail.app", false, {}});
  EXPECT_EQ(
      service->update(next),
      (HelperStatus{.phase = "active", .helperInstalled = true, .activeSession = next, .message = "Session updated."}));
}

// Once stored, a session stands whatever its termination meets: the command says it was applied or
// updated (the failure goes to standard error, the daemon enforces next), and applying the very
// same session again, as a caller does after a lost answer, says "applied" and changes nothing.
TEST(SessionLifecycle, AStoredSessionIsReportedAppliedWhenItsTerminationFails) {
  ServiceFixture fixture;
  BlockerService service(fixture.paths, realFileSystem(),
                         {.processRunner = fixture.runner.runner(),
                          .runningProcessesProvider = []() -> std::vector<RunningProcess> {
                            throw ToolTimeoutError("/bin/ps", limits::snapshotTimeLimit);
                          },
                          .blockedApplicationNotifier = std::make_unique<NoopBlockedApplicationNotifier>()},
                         30.0, [] { return std::chrono::system_clock::now(); });
  const auto session = makeSession("S1", 3600);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(service.apply(session).message, "Session applied.");
  const auto stored = readTextFile(fixture.paths.statePath());
  EXPECT_EQ(service.apply(session).message, "Session applied.");
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);
  auto next = session;
  next.apps.push_back({"a2", "com.example.mail", "Mail", "/Applications/Mail.app", false, {}});
  EXPECT_EQ(service.update(next).message, "Session updated.");
  const std::string timeout = "/bin/ps did not finish within 10 seconds and was stopped\n";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), timeout + timeout) << "one line for each stored session";
  EXPECT_EQ(failureText([&] { service.apply(session); }),
            "Session is locked until " + formatMillisecondDate(next.endsAt) + ".")
      << "another session than the stored one is refused";
}

TEST(Enforcement, TerminatesOnApplyAndEnforceButOnUpdateOnlyWhenTargetsChange) {
  ServiceFixture fixture;
  fixture.processes->push_back({4242, 1, "/Applications/Chat.app/Contents/MacOS/Chat"});
  fixture.processes->push_back({4343, 1, "/Applications/Other.app/Contents/MacOS/Other"});
  auto service = fixture.makeService();
  EXPECT_EQ(service->enforceActiveSession().message, "No active session.");

  auto session = makeSession("S1", 3600);
  session.apps.push_back({"a2", "com.example.chat", "Chat Beta", "/Applications/Chat Beta.app", false, {}});
  service->apply(session);
  session.endsAt += std::chrono::seconds(60);
  std::reverse(session.apps.begin(), session.apps.end());
  service->update(session);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 1u)
      << "extending the session or reordering its targets terminates nothing";
  session.apps.back().path = "/Applications/Other.app";
  service->update(session);
  EXPECT_EQ(service->enforceActiveSession().message, "Active session enforced.");

  const auto log = readEventLog(fixture.paths);
  EXPECT_TRUE(log.size() == 3 && log[1].path == "/Applications/Other.app");
  EXPECT_TRUE(fixture.runner.calls().empty()) << "dry-run mode signals nothing";

  // Only application bundles are targets: anyone may queue a session, and "/usr" must not make
  // root kill every process started from under it.
  fixture.processes->push_back({4444, 1, "/usr/sbin/sshd -D"});
  session.apps.back().path = "/usr";
  service->update(session);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 3u);
  session.controlledChromeUserDataDir = "/tmp/profile";  // a browser without its marker is no exception
  EXPECT_TRUE(BlockerService::controlledChromeAllowedProcessMatchers(session).empty());
  session.controlledChromeProcessMarker = "mark";
  EXPECT_EQ(
      BlockerService::controlledChromeAllowedProcessMatchers(session),
      (std::vector<AllowedProcessMatcher>{{{"--user-data-dir=/tmp/profile", "--remote-debugging-port=", "mark"}}}));
}

}  // namespace
}  // namespace vellorin
