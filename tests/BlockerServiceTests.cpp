// The session lock, enforcement and restore of the service, in a sandbox.
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using testing::ServiceFixture;
using testing::makeSession;
using testing::readEventLog;
using testing::readTextFile;
using testing::writeTextFile;

std::string errorText(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no failure)";
}

TEST(SessionLifecycle, ApplyStoresTheSessionAndLocksItUntilItsEnd) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  EXPECT_EQ(service->status("Status loaded.").phase, "idle");

  const auto session = makeSession("S1", 3600);
  const auto status = service->apply(session);
  EXPECT_EQ(status.message, "Session applied.");
  EXPECT_EQ(status.phase, "active");
  EXPECT_EQ(status.activeSession, session);
  EXPECT_TRUE(status.helperInstalled);
  EXPECT_FALSE(status.hostsBlockPresent || status.pfAnchorPresent);

  const auto stored = readTextFile(fixture.paths.statePath());
  EXPECT_EQ(errorText([&] { service->apply(makeSession("S2", 60)); }),
            "Session is locked until " + formatMillisecondDate(session.endsAt) + ".");
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);
}

TEST(SessionLifecycle, AnExpiredSessionIsReplacedAndAPastSessionIsStoredAsExpired) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  const auto status = service->apply(makeSession("old", -10));
  EXPECT_EQ(status.phase, "expired");
  EXPECT_FALSE(status.activeSession);
  EXPECT_EQ(service->apply(makeSession("new", 60)).activeSession->id, "new");
  EXPECT_EQ(errorText([&] { service->update(makeSession("old", 60)); }), "Active session id does not match.");
}

TEST(SessionLifecycle, UpdateRulesAreCheckedInOrder) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  EXPECT_EQ(errorText([&] { service->update(makeSession("S1", 60)); }), "No active session is available to update.");
  const auto existing = makeSession("S1", 3600);
  service->apply(existing);

  const std::vector<std::pair<std::string, std::function<void(HelperSession&)>>> rejected = {
      {"Active session id does not match.",
       [](HelperSession& s) {
         s.id = "other";
         s.profileName = "other";
         s.apps.clear();
       }},
      {"Active session identity cannot be changed during a lock.", [](HelperSession& s) { s.profileName = "Other"; }},
      {"Active session identity cannot be changed during a lock.",
       [](HelperSession& s) { s.startedAt += std::chrono::seconds(1); }},
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

  const std::vector<std::function<void(HelperSession&)>> accepted = {
      [](HelperSession&) {},
      [](HelperSession& s) { s.endsAt += std::chrono::seconds(600); },
      [](HelperSession& s) { s.apps[0].path = "/Applications/Other.app"; },
      [](HelperSession& s) { s.websites[0].domain = "other.example"; },
      [](HelperSession& s) { s.apps.push_back({"a2", "com.example.mail", "Mail", "/Applications/Mail.app", false, {}}); },
      [](HelperSession& s) { s.browserBlockingApps.clear(); },
  };
  for (const auto& change : accepted) {
    HelperSession next = service->status("").activeSession.value();
    change(next);
    const auto status = service->update(next);
    EXPECT_EQ(status.message, "Session updated.");
    EXPECT_EQ(status.activeSession, next);
  }
}

TEST(SessionLifecycle, AStateFileThatDoesNotDecodeIsReportedAsItIs) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  writeTextFile(fixture.paths.statePath(), "{not json");
  const std::string text = errorText([&] { service->status("Status loaded."); });
  EXPECT_NE(text, "Could not decode helper session JSON.");
  EXPECT_NE(text.find("parse"), std::string::npos) << text;
  EXPECT_THROW(service->apply(makeSession("S", 60)), std::exception);
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), "{not json");
}

TEST(SessionLifecycle, LoadingASessionFileTurnsEveryFailureIntoOneText) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  writeTextFile(fixture.temp / "bad.json", "{\"id\": 1}");
  for (const auto& path : {fixture.temp / "missing.json", fixture.temp / "bad.json", fixture.temp.path()}) {
    EXPECT_EQ(errorText([&] { service->loadSessionFromFile(path); }), "Could not decode helper session JSON.");
  }
}

TEST(Enforcement, TerminatesOnApplyAndOnEveryEnforceButUpdateOnlyWhenTargetsChange) {
  ServiceFixture fixture;
  fixture.processes->push_back({4242, 1, "/Applications/Chat.app/Contents/MacOS/Chat"});
  fixture.processes->push_back({4343, 1, "/Applications/Other.app/Contents/MacOS/Other"});
  auto service = fixture.makeService();

  EXPECT_EQ(service->enforceActiveSession().message, "No active session.");
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.commandDirectory));

  auto session = makeSession("S1", 3600);
  service->apply(session);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 1u);
  EXPECT_EQ(fixture.notified->size(), 1u);

  session.endsAt += std::chrono::seconds(60);
  service->update(session);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 1u) << "extending the session terminates nothing";

  session.apps[0].path = "/Applications/Other.app";
  service->update(session);
  const auto log = readEventLog(fixture.paths);
  ASSERT_EQ(log.size(), 2u) << "a changed path terminates again";
  EXPECT_EQ(log[1].path, "/Applications/Other.app");
  EXPECT_EQ(log[1].sessionID, "S1");

  const auto status = service->enforceActiveSession();
  EXPECT_EQ(status.message, "Active session enforced.");
  EXPECT_EQ(status.phase, "active");
  EXPECT_EQ(readEventLog(fixture.paths).size(), 3u);
  EXPECT_TRUE(fixture.runner.calls().empty()) << "dry-run mode signals nothing";
}

TEST(Enforcement, TheControlledBrowserNeedsBothItsDirectoryAndItsMarker) {
  HelperSession session = makeSession("S", 60);
  EXPECT_TRUE(BlockerService::controlledChromeAllowedProcessMatchers(session).empty());
  session.controlledChromeUserDataDir = "/tmp/profile";
  session.controlledChromeProcessMarker = "";
  EXPECT_TRUE(BlockerService::controlledChromeAllowedProcessMatchers(session).empty());
  session.controlledChromeProcessMarker = "--vellorin-marker";
  const auto matchers = BlockerService::controlledChromeAllowedProcessMatchers(session);
  ASSERT_EQ(matchers.size(), 1u);
  EXPECT_EQ(matchers[0].requiredCommandSubstrings,
            (std::vector<std::string>{"--user-data-dir=/tmp/profile", "--remote-debugging-port=", "--vellorin-marker"}));
}

TEST(Restore, ClearsEverythingWithForceAndRefusesAnActiveSessionWithout) {
  ServiceFixture fixture;
  fixture.processes->push_back({4242, 1, "/Applications/Chat.app"});
  auto service = fixture.makeService();
  const auto session = makeSession("S1", 3600);
  service->apply(session);
  ASSERT_TRUE(std::filesystem::exists(fixture.paths.blockedApplicationEventsPath()));

  EXPECT_EQ(errorText([&] { service->restore(false, "Blocker restored."); }),
            "Session is locked until " + formatMillisecondDate(session.endsAt) + ".");
  EXPECT_EQ(errorText([&] { service->cleanupIfExpired(); }),
            "Session is locked until " + formatMillisecondDate(session.endsAt) + ".");
  EXPECT_TRUE(std::filesystem::exists(fixture.paths.statePath()));

  service->restore(true, "Blocker restored.");
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath()));
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.blockedApplicationEventsPath()));
  EXPECT_EQ(readTextFile(fixture.paths.commandProtocolPath()), "3\n");
  EXPECT_EQ(service->status("").phase, "idle");

  // Nothing left to remove is no failure.
  EXPECT_NO_THROW(service->restore(false, "Blocker restored."));
  EXPECT_EQ(service->cleanupIfExpired().message, "Expired session restored.");
}

TEST(Restore, AnExpiredSessionIsRestoredByEnforcementAndForcedRestoreSkipsACorruptStateFile) {
  ServiceFixture fixture;
  auto service = fixture.makeService();
  service->apply(makeSession("S1", -1));
  const auto status = service->enforceActiveSession();
  EXPECT_EQ(status.message, "Expired session restored.");
  EXPECT_EQ(status.phase, "idle");

  writeTextFile(fixture.paths.statePath(), "garbage");
  EXPECT_THROW(service->restore(false, ""), std::exception);
  EXPECT_THROW(service->enforceActiveSession(), std::exception);
  service->restore(true, "");
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath()));
}

TEST(Restore, FlushesTheDNSCachesOnlyOutsideDryRunAndIgnoresEveryToolFailure) {
  ServiceFixture dry;
  dry.makeService()->restore(true, "");
  EXPECT_TRUE(dry.runner.calls().empty());

  if (::geteuid() != 0) GTEST_SKIP() << "restoring outside dry-run mode needs root";

  ServiceFixture real(false);
  real.runner.handle("/usr/bin/dscacheutil", [](const std::vector<std::string>&, bool) -> std::string {
    throw std::system_error(ENOENT, std::generic_category(), "spawn");
  });
  real.makeService()->restore(true, "");
  std::vector<testing::RecordedCall> flush;
  for (const auto& call : real.runner.calls()) {
    if (call.executable != "/sbin/pfctl") flush.push_back(call);
  }
  EXPECT_EQ(flush, (std::vector<testing::RecordedCall>{
                       {"/usr/bin/dscacheutil", {"-flushcache"}, true},
                       {"/usr/bin/killall", {"-HUP", "mDNSResponder"}, true},
                       {"/usr/bin/killall", {"mDNSResponderHelper"}, true},
                   }));
}

}  // namespace
}  // namespace vellorin
