// Faults through the file-system seam and a failing process snapshot: nothing already stored is
// lost or half-written, and the service recovers once the fault is gone.
#include <gtest/gtest.h>

#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using testing::ServiceFixture;
using testing::makeSession;
using testing::readEventLog;
using testing::readTextFile;
using testing::writeTextFile;

// The real file system, except that writes of the armed file name fail with the armed error.
class FaultyFileSystem final : public FileSystem {
 public:
  std::string armedName;
  int armedError = 0;

  void writeFileAtomicallyAt(int directory, const std::string& name, std::string_view bytes,
                             const WriteOptions& options) override {
    if (name == armedName) throwSystemError(armedError, "write " + name);
    FileSystem::writeFileAtomicallyAt(directory, name, bytes, options);
  }
};

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture.processes->push_back({4242, 1, "/Applications/Chat.app/Contents/MacOS/Chat"});
    service = fixture.makeService(disk);
    service->apply(makeSession("S1", 3600));
  }
  void arm(const std::string& name, int error = ENOSPC) {
    disk->armedName = name;
    disk->armedError = error;
  }
  // One watch pass; returns its line on standard error.
  std::string failingPass() {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(service->watchPass(0.2), 5.0);
    return ::testing::internal::GetCapturedStderr();
  }
  static std::vector<std::string> names(const std::filesystem::path& directory) {
    std::vector<std::string> result;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) result.push_back(entry.path().filename());
    std::sort(result.begin(), result.end());
    return result;
  }

  ServiceFixture fixture;
  std::shared_ptr<FaultyFileSystem> disk = std::make_shared<FaultyFileSystem>();
  std::unique_ptr<BlockerService> service;
};

TEST_F(Faults, AFullDiskDuringTheStateWriteKeepsTheStoredSessionAndTerminatesNothing) {
  const auto stored = readTextFile(fixture.paths.statePath());
  auto next = makeSession("S1", 3600, "/Applications/Other.app");
  arm("active-session.json");
  EXPECT_THROW(service->update(next), std::system_error);
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 1u) << "nothing is terminated for a session that was not stored";
  EXPECT_EQ(names(fixture.paths.stateDirectory), std::vector<std::string>{"active-session.json"});
  arm("");
  EXPECT_EQ(service->update(next).message, "Session updated.");
}

TEST_F(Faults, AFullDiskDuringAnEventLogAppendKeepsTheOldLogAndAnnouncesNothing) {
  const auto log = readTextFile(fixture.paths.blockedApplicationEventsPath());
  *fixture.clock += std::chrono::hours(1);  // past the cooldown: an announcement would be due
  arm("blocked-app-events.json");
  EXPECT_NE(failingPass().find("No space left on device"), std::string::npos);
  EXPECT_EQ(readTextFile(fixture.paths.blockedApplicationEventsPath()), log);
  EXPECT_EQ(fixture.notified->size(), 1u);
  arm("");
  EXPECT_EQ(service->watchPass(0.2), 0.2);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 2u);
  EXPECT_EQ(fixture.notified->size(), 2u);
}

TEST_F(Faults, AResponseThatCannotBeWrittenKeepsTheRequestsForTheNextPass) {
  const auto commands = fixture.paths.commandDirectory;
  writeTextFile(commands / "a.request.json", R"({"id":"a","command":"cleanup"})");
  writeTextFile(commands / "b.request.json", R"({"id":"b","command":"cleanup"})");
  for (const int error : {ENOSPC, EROFS}) {
    arm("a.response.json", error);
    EXPECT_FALSE(failingPass().empty());
    EXPECT_EQ(names(commands), (std::vector<std::string>{"a.request.json", "b.request.json"}));
  }
  arm("");
  service->processPendingCommands();
  EXPECT_EQ(names(commands), (std::vector<std::string>{"a.response.json", "b.response.json"}));
}

TEST_F(Faults, AFailingProcessSnapshotIsReportedAndTheNextPassEnforcesAgain) {
  const auto stored = readTextFile(fixture.paths.statePath());
  *fixture.snapshotFails = true;
  EXPECT_EQ(failingPass(), "ps: cannot read the process table\n");
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);
  *fixture.snapshotFails = false;
  EXPECT_EQ(service->watchPass(0.2), 0.2);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 2u);
}

}  // namespace
}  // namespace vellorin
