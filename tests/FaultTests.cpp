// Fault runs through the file-system seam and a failing process snapshot: nothing already stored
// is lost or half-written, and the service recovers once the fault is gone.
#include <gtest/gtest.h>

#include <set>

#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using testing::ServiceFixture;
using testing::makeSession;
using testing::readEventLog;
using testing::readTextFile;
using testing::writeTextFile;

// The real file system, except that writes of the armed file names fail with the armed error.
class FaultyFileSystem final : public FileSystem {
 public:
  void arm(const std::string& name, int error) { faults_[name] = error; }
  void disarm() { faults_.clear(); }

  void writeFileAtomicallyAt(int directory, const std::string& name, std::string_view bytes,
                             const WriteOptions& options) override {
    if (const auto fault = faults_.find(name); fault != faults_.end()) throwSystemError(fault->second, "write " + name);
    FileSystem::writeFileAtomicallyAt(directory, name, bytes, options);
  }

 private:
  std::map<std::string, int> faults_;
};

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture.processes->push_back({4242, 1, "/Applications/Chat.app/Contents/MacOS/Chat"});
    service = fixture.makeService(disk);
  }
  std::vector<std::string> directoryNames(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  ServiceFixture fixture;
  std::shared_ptr<FaultyFileSystem> disk = std::make_shared<FaultyFileSystem>();
  std::unique_ptr<BlockerService> service;
};

TEST_F(Faults, AFullDiskDuringTheStateWriteKeepsTheStoredSessionAndTerminatesNothing) {
  auto session = makeSession("S1", 3600);
  service->apply(session);
  const auto stored = readTextFile(fixture.paths.statePath());
  const auto events = readEventLog(fixture.paths).size();

  auto next = session;
  next.apps[0].path = "/Applications/Other.app";
  disk->arm("active-session.json", ENOSPC);
  EXPECT_THROW(service->update(next), std::system_error);
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);
  EXPECT_EQ(readEventLog(fixture.paths).size(), events) << "nothing is terminated when the session was not stored";
  EXPECT_EQ(directoryNames(fixture.paths.stateDirectory), std::vector<std::string>{"active-session.json"});

  disk->disarm();
  EXPECT_EQ(service->update(next).message, "Session updated.");
}

TEST_F(Faults, AFullDiskDuringAnEventLogAppendKeepsTheOldLogAndAnnouncesNothing) {
  service->apply(makeSession("S1", 3600));
  const auto log = readTextFile(fixture.paths.blockedApplicationEventsPath());
  const auto announced = fixture.notified->size();

  disk->arm("blocked-app-events.json", ENOSPC);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(service->watchPass(0.2), 5.0);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("No space left on device"), std::string::npos);
  EXPECT_EQ(readTextFile(fixture.paths.blockedApplicationEventsPath()), log);
  EXPECT_EQ(fixture.notified->size(), announced);

  disk->disarm();
  EXPECT_EQ(service->watchPass(0.2), 0.2);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 2u);
}

TEST_F(Faults, AResponseThatCannotBeWrittenKeepsTheRequestForTheNextPass) {
  service->prepareCommandDirectory();
  const auto commands = fixture.paths.commandDirectory;
  writeTextFile(commands / "a.request.json", R"({"id":"a","command":"cleanup"})");
  writeTextFile(commands / "b.request.json", R"({"id":"b","command":"cleanup"})");

  for (const int error : {ENOSPC, EROFS}) {
    disk->arm("a.response.json", error);
    EXPECT_THROW(service->processPendingCommands(), std::system_error);
    EXPECT_EQ(directoryNames(commands), (std::vector<std::string>{"a.request.json", "b.request.json"}))
        << "no temporary file, no response, and the later request waits";
  }

  disk->disarm();
  service->processPendingCommands();
  EXPECT_EQ(directoryNames(commands), (std::vector<std::string>{"a.response.json", "b.response.json"}));
}

TEST_F(Faults, AFailingProcessSnapshotIsReportedAndTheNextPassEnforcesAgain) {
  service->apply(makeSession("S1", 3600));
  const auto stored = readTextFile(fixture.paths.statePath());
  *fixture.snapshotFails = true;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(service->watchPass(0.2), 5.0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ps: cannot read the process table\n");
  EXPECT_EQ(readTextFile(fixture.paths.statePath()), stored);

  *fixture.snapshotFails = false;
  EXPECT_EQ(service->watchPass(0.2), 0.2);
  EXPECT_EQ(readEventLog(fixture.paths).size(), 2u);
}

}  // namespace
}  // namespace vellorin
