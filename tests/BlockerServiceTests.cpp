// The session lock, enforcement and restore of the service, in a sandbox.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "support/FaultInjectingFileSystem.hpp"
#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using namespace vellorin::testing;

std::string errorText(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no failure)";
}

std::string lockText(const HelperSession& session) {
  return "Session is locked until " + formatMillisecondDate(session.endsAt) + ".";
}

TEST(SessionLifecycle, ApplyLocksTheSessionUntilItsEndAndReplacesAnExpiredOne) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  EXPECT_EQ(service->status("Status loaded."), (HelperStatus{.phase = "idle", .helperInstalled = true, .message = "Status loaded."}));
  EXPECT_EQ(service->apply(makeSession("old", -10)).phase, "expired");

  const auto session = makeSession("S1", 3600);
  EXPECT_EQ(service->apply(session), (HelperStatus{.phase = "active", .helperInstalled = true, .activeSession = session, .message = "Session applied."}));
  const auto stored = readTextFile(fixture.paths.statePath());
  EXPECT_EQ(errorText([&] { service->apply(makeSession("S2", 60)); }), lockText(session));
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);
}

TEST(SessionLifecycle, ASessionOverTheMaximumIsRefusedBeforeAnythingIsStored) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  auto session = makeSession("S1", 3600);
  const auto app = session.apps[0];
  const auto website = session.websites[0];
  session.browserBlockingApps.assign(maximumSessionApplications - 1, app);
  EXPECT_EQ(service->apply(session).message, "Session applied.") << "the maximum itself is allowed";
  const auto stored = readTextFile(fixture.paths.statePath());

  session.browserBlockingApps.push_back(app);
  EXPECT_EQ(errorText([&] { service->update(session); }), "Session holds 1001 applications; a session may hold at most 1000.");
  session.browserBlockingApps.clear();
  session.websites.assign(maximumSessionWebsites + 1, website);
  EXPECT_EQ(errorText([&] { service->update(session); }), "Session holds 1001 websites; a session may hold at most 1000.");
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);
  service->restore(true, "");
  EXPECT_THROW(service->apply(session), SessionTooLargeError);
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath()));
}

TEST(SessionLifecycle, UpdateRulesAreCheckedInOrderAndEverythingElseMayChange) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  EXPECT_EQ(errorText([&] { service->update(makeSession("S1", 60)); }), "No active session is available to update.");
  const auto existing = makeSession("S1", 3600);
  service->apply(existing);

  const std::vector<std::pair<std::string, std::function<void(HelperSession&)>>> rejected = {
      {"Active session id does not match.", [](HelperSession& s) {
         s.id = "other";
         s.profileName = "x";
         s.apps.clear();
       }},
      {"Active session identity cannot be changed during a lock.", [](HelperSession& s) { s.profileName = "Other"; }},
      {"Active session identity cannot be changed during a lock.", [](HelperSession& s) { s.startedAt += std::chrono::seconds(1); }},
      {"Active session time cannot be shortened.", [](HelperSession& s) { s.endsAt -= std::chrono::seconds(1); }},
      {"Active session targets cannot be removed during a lock.", [](HelperSession& s) { s.apps.clear(); }},
      {"Active session targets cannot be removed during a lock.", [](HelperSession& s) { s.websites[0].id = "w2"; }},
  };
  for (const auto& [text, change] : rejected) {
    HelperSession next = existing;
    change(next);
    EXPECT_EQ(errorText([&] { service->update(next); }), text);
    EXPECT_EQ(service->status("").activeSession, existing) << text;
  }

  HelperSession next = existing;
  next.endsAt += std::chrono::seconds(600);
  next.apps[0].path = "/Applications/Other.app";
  next.websites[0].domain = "other.example";
  next.apps.push_back({"a2", "com.example.mail", "Mail", "/Applications/Mail.app", false, {}});
  EXPECT_EQ(service->update(next), (HelperStatus{.phase = "active", .helperInstalled = true, .activeSession = next, .message = "Session updated."}));
}

TEST(SessionLifecycle, ABrokenStateFileIsReportedAsItIsAndASessionFileAsOneText) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  writeTextFile(fixture.paths.statePath(), "{not json");
  EXPECT_NE(errorText([&] { service->status(""); }).find("parse"), std::string::npos);
  EXPECT_THROW(service->apply(makeSession("S", 60)), std::exception);
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), "{not json");

  writeTextFile(fixture.temp / "bad.json", "{\"id\": 1}");
  for (const auto& path : {fixture.temp / "missing.json", fixture.temp / "bad.json", fixture.temp.path()}) {
    EXPECT_EQ(errorText([&] { service->loadSessionFromFile(path); }), "Could not decode helper session JSON.");
  }
}

TEST(Enforcement, TerminatesOnApplyAndEnforceButOnUpdateOnlyWhenTargetsChange) {
  ServiceFixture fixture;
  fixture.processes->push_back({4242, 1, "/Applications/Chat.app/Contents/MacOS/Chat"});
  fixture.processes->push_back({4343, 1, "/Applications/Other.app/Contents/MacOS/Other"});
  auto service = fixture.makeService();
  EXPECT_EQ(service->enforceActiveSession().message, "No active session.");
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.commandDirectory)) << "nothing to enforce touches nothing";

  auto session = makeSession("S1", 3600);
  session.apps.push_back({"a2", "com.example.chat", "Chat Beta", "/Applications/Chat Beta.app", false, {}});
  service->apply(session);
  session.endsAt += std::chrono::seconds(60);
  std::reverse(session.apps.begin(), session.apps.end());
  service->update(session);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 1u) << "extending the session or reordering its targets terminates nothing";
  session.apps.back().path = "/Applications/Other.app";
  service->update(session);
  EXPECT_EQ(service->enforceActiveSession().message, "Active session enforced.");

  const auto log = readEventLog(fixture.paths);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].path, "/Applications/Other.app");
  EXPECT_EQ(fixture.notified->size(), 1u) << "one announcement per bundle identifier within the cooldown";
  EXPECT_TRUE(fixture.runner.calls().empty()) << "dry-run mode signals nothing";

  // Only application bundles are targets: anyone may queue a session, and "/usr" must not make
  // root kill every process started from under it.
  fixture.processes->push_back({4444, 1, "/usr/sbin/sshd -D"});
  session.apps.back().path = "/usr";
  service->update(session);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 3u);

  session.controlledChromeUserDataDir = "/tmp/profile";
  EXPECT_TRUE(BlockerService::controlledChromeAllowedProcessMatchers(session).empty());
  session.controlledChromeProcessMarker = "mark";
  EXPECT_EQ(BlockerService::controlledChromeAllowedProcessMatchers(session),
            (std::vector<AllowedProcessMatcher>{{{"--user-data-dir=/tmp/profile", "--remote-debugging-port=", "mark"}}}));
}

TEST(Restore, RefusesAnActiveSessionWithoutForceAndClearsEverythingWithIt) {
  ServiceFixture fixture;
  fixture.processes->push_back({4242, 1, "/Applications/Chat.app"});
  auto service = fixture.makeService();
  const auto session = makeSession("S1", 3600);
  service->apply(session);
  EXPECT_EQ(errorText([&] { service->restore(false, ""); }), lockText(session));
  EXPECT_EQ(errorText([&] { service->cleanupIfExpired(); }), lockText(session));
  ASSERT_TRUE(std::filesystem::exists(fixture.paths.blockedApplicationEventsPath()));

  service->restore(true, "");
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath()));
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.blockedApplicationEventsPath()));
  EXPECT_EQ(readTextFile(fixture.paths.commandProtocolPath()), "3\n");
  EXPECT_EQ(service->cleanupIfExpired().message, "Expired session restored.") << "nothing left is no failure";

  service->apply(makeSession("S2", -1));
  EXPECT_EQ(service->enforceActiveSession(), (HelperStatus{.phase = "idle", .helperInstalled = true, .message = "Expired session restored."}));
  writeTextFile(fixture.paths.statePath(), "garbage");
  EXPECT_THROW(service->restore(false, ""), std::exception);
  service->restore(true, "");  // force never reads the state file
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath()));
  writeTextFile(fixture.paths.statePath() / "inside", "");
  EXPECT_THROW(service->restore(true, ""), std::system_error) << "a state path that stays is no success";
}

TEST(Restore, UndoesTheWebsiteBlocksInOrderStopsAtTheFirstFailureAndFlushesTheCachesOutsideDryRun) {
  ServiceFixture dry;
  dry.makeService()->restore(true, "");
  EXPECT_TRUE(dry.runner.calls().empty()) << "dry-run mode runs no tool";

  if (::geteuid() != 0) GTEST_SKIP() << "restoring outside dry-run mode needs root";
  ServiceFixture real(false);
  real.runner.answer("/sbin/pfctl", "Token : tok\n");
  real.runner.handle("/usr/bin/dscacheutil", [](const std::vector<std::string>&, bool) -> std::string {
    throw std::system_error(ENOENT, std::generic_category(), "spawn");
  });
  auto disk = std::make_shared<FaultInjectingFileSystem>(realFileSystem());
  const LegacyNetworkBlockCleanup blocks(real.paths, disk, real.runner.runner());
  blocks.hostsBlocker.apply({"a.example"}, "S1");
  blocks.packetFilterBlocker.apply({"a.example"});
  blocks.wildcardResolverBlocker.apply({"a.example"}, "S1");
  auto service = real.makeService(disk);
  disk->journal.clear();
  const size_t callsBefore = real.runner.calls().size();

  disk->fail(FaultInjectingFileSystem::Operation::write, "hosts");
  EXPECT_THROW(service->restore(true, ""), std::system_error);
  EXPECT_TRUE(disk->journal.empty()) << "a failed hosts restore leaves the other blocks as they were";
  EXPECT_EQ(real.runner.calls().size(), callsBefore);

  disk->heal();
  service->restore(false, "");
  EXPECT_EQ(disk->journal, (std::vector<std::string>{
                               "write hosts", "write app.vellorin.helper", "write pf.conf", "remove VellorinPFToken",
                               "remove a.example", "remove resolver-manifest.json", "remove resolver-backups",
                               "remove active-session.json", "write helper-protocol-v1"}));
  EXPECT_EQ(readTextFile(real.paths.hostsPath), std::string(defaultHostsContent));
  const std::vector<RecordedCall> calls(real.runner.calls().begin() + static_cast<long>(callsBefore), real.runner.calls().end());
  EXPECT_EQ(calls, (std::vector<RecordedCall>{
                       {"/sbin/pfctl", {"-X", "tok", "-f", real.paths.pfConfPath.string()}, true},
                       {"/usr/bin/dscacheutil", {"-flushcache"}, true},  // its failure stops nothing
                       {"/usr/bin/killall", {"-HUP", "mDNSResponder"}, true},
                       {"/usr/bin/killall", {"mDNSResponderHelper"}, true},
                   }));
}

}  // namespace
}  // namespace vellorin
