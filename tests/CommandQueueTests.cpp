// The command directory queue: ordering, responses, and the traps a local user can plant.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using testing::ServiceFixture;
using testing::fileMode;
using testing::makeSession;
using testing::readTextFile;
using testing::writeTextFile;

class CommandQueue : public ::testing::Test {
 protected:
  void SetUp() override { service = fixture.makeService(); }

  std::filesystem::path commands() const { return fixture.paths.commandDirectory; }
  void request(const std::string& name, const std::string& content) { writeTextFile(commands() / name, content); }
  std::string applyRequest(const std::string& id, const HelperSession& session) {
    return HelperCommandRequest{id, HelperCommandKind::apply, session, std::nullopt}.toJson().dump();
  }
  HelperCommandResponse response(const std::string& fileID) {
    const auto text = readTextFile(commands() / (fileID + ".response.json"));
    if (!text) throw std::runtime_error("no response for " + fileID);
    return decodeDocument<HelperCommandResponse>(*text);
  }

  ServiceFixture fixture;
  std::unique_ptr<BlockerService> service;
};

TEST_F(CommandQueue, AnEmptyPassPreparesTheDirectoriesAndTheMarkerEveryTime) {
  service->processPendingCommands();
  EXPECT_EQ(readTextFile(fixture.paths.commandProtocolPath()), "3\n");
  EXPECT_EQ(fileMode(fixture.paths.commandProtocolPath()), 0644u);
  std::filesystem::permissions(commands(), std::filesystem::perms::owner_all);
  std::filesystem::permissions(fixture.paths.commandParentDirectory(), std::filesystem::perms::owner_all);
  service->processPendingCommands();
  EXPECT_EQ(fileMode(commands()), 0777u);
  EXPECT_EQ(fileMode(fixture.paths.commandParentDirectory()), 0777u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(commands()), {}), 0);
}

TEST_F(CommandQueue, RequestsRunInByteOrderOfTheirNamesAndLeaveOnlyResponses) {
  service->prepareCommandDirectory();
  request("b.request.json", applyRequest("second", makeSession("B", 600)));
  request("a.request.json", applyRequest("first", makeSession("A", 600)));
  request("x.REQUEST.json", "{}");
  request("x.request.json.tmp", "{}");
  request("x.json", "{}");
  service->processPendingCommands();

  const auto first = response("a");
  EXPECT_TRUE(first.ok);
  EXPECT_EQ(first.id, "first");
  EXPECT_EQ(first.status->message, "Session applied.");
  const auto second = response("b");
  EXPECT_FALSE(second.ok);
  EXPECT_EQ(second.id, "b") << "a failed response carries the file's id";
  EXPECT_EQ(second.error, "Session is locked until " + formatMillisecondDate(makeSession("A", 600).endsAt) + ".");
  EXPECT_FALSE(second.status);
  for (const char* kept : {"x.REQUEST.json", "x.request.json.tmp", "x.json"}) {
    EXPECT_TRUE(std::filesystem::exists(commands() / kept)) << kept;
  }
  EXPECT_FALSE(std::filesystem::exists(commands() / "a.request.json"));
  EXPECT_FALSE(std::filesystem::exists(commands() / "b.request.json"));
}

TEST_F(CommandQueue, UndecodableAndIncompleteRequestsAreAnsweredAndRemoved) {
  service->prepareCommandDirectory();
  request("x.request.json", "{}");
  request("y.request.json", R"({"id":"y","command":"apply"})");
  request("z.request.json", R"({"id":"z","command":"Apply"})");
  request("old.request.json", "{not json");
  writeTextFile(commands() / "y.response.json", "stale");
  service->processPendingCommands();

  EXPECT_NE(response("x").error->find("\"id\""), std::string::npos) << *response("x").error;
  EXPECT_EQ(response("y").error, "Missing helper argument: session");
  EXPECT_FALSE(response("z").ok);
  EXPECT_FALSE(response("old").ok);
  EXPECT_FALSE(std::filesystem::exists(commands() / "x.request.json"));
}

TEST_F(CommandQueue, RestoreAndCleanupAnswerWithTheirStatus) {
  service->apply(makeSession("S", 3600));
  request("r.request.json", R"({"id":"r","command":"restore","force":true})");
  request("s.request.json", R"({"id":"s","command":"cleanup","force":true,"session":)" +
                                makeSession("S", 3600).toJson().dump() + "}");
  service->processPendingCommands();
  EXPECT_EQ(response("r").status->message, "Blocker restored.");
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath()));
  EXPECT_EQ(response("s").status->message, "Expired session restored.");
  EXPECT_EQ(response("s").status->phase, "idle");
}

TEST_F(CommandQueue, ALinkInPlaceOfEitherSharedDirectoryIsReplacedNeverFollowed) {
  const auto victim = fixture.temp / "victim";
  std::filesystem::create_directories(victim);
  std::filesystem::permissions(victim, std::filesystem::perms::owner_all);
  const auto parent = fixture.paths.commandParentDirectory();
  std::filesystem::create_directories(parent.parent_path());
  std::filesystem::create_directory_symlink(victim, parent);
  service->processPendingCommands();
  EXPECT_FALSE(std::filesystem::is_symlink(parent));
  EXPECT_TRUE(std::filesystem::is_directory(commands()));

  std::filesystem::remove_all(commands());
  std::filesystem::create_directory_symlink(victim, commands());
  writeTextFile(victim / "v.request.json", applyRequest("v", makeSession("V", 60)));
  service->processPendingCommands();
  EXPECT_FALSE(std::filesystem::is_symlink(commands()));
  EXPECT_EQ(fileMode(victim), 0700u);
  EXPECT_TRUE(std::filesystem::exists(victim / "v.request.json")) << "nothing is read through the link";
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath()));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(victim), {}), 1);
}

TEST_F(CommandQueue, ANonDirectoryInPlaceOfTheCommandDirectoryFailsThePassByName) {
  writeTextFile(commands(), "not ours");
  try {
    service->processPendingCommands();
    FAIL() << "the pass must fail";
  } catch (const std::system_error& error) {
    EXPECT_NE(std::string(error.what()).find(commands().string()), std::string::npos) << error.what();
  }
  EXPECT_EQ(readTextFile(commands()), "not ours");
}

TEST_F(CommandQueue, AStickyParentKeepsItsStickyBit) {
  std::filesystem::create_directories(commands());
  ASSERT_EQ(::chmod(fixture.paths.commandParentDirectory().c_str(), 01755), 0);
  service->processPendingCommands();
  EXPECT_EQ(fileMode(fixture.paths.commandParentDirectory()), 01777u);
  EXPECT_EQ(fileMode(commands()), 0777u);
}

TEST_F(CommandQueue, PlantedRequestFilesAreRefusedUnreadAndRemoved) {
  service->prepareCommandDirectory();
  const auto secret = fixture.temp / "secret";
  writeTextFile(secret, R"({"id":"leak","command":"restore","force":true})", 0600);
  std::filesystem::create_symlink(secret, commands() / "link.request.json");
  ASSERT_EQ(::link(secret.c_str(), (commands() / "hard.request.json").c_str()), 0);
  ASSERT_EQ(::mkfifo((commands() / "fifo.request.json").c_str(), 0666), 0);
  std::filesystem::create_directories(commands() / "dir.request.json");
  std::filesystem::create_directories(commands() / "full.request.json" / "inside");
  {
    const int fd = ::open((commands() / "huge.request.json").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 100 * 1024 * 1024), 0);
    ::close(fd);
  }
  service->apply(makeSession("S", 3600));
  service->processPendingCommands();

  for (const char* id : {"link", "hard", "fifo", "dir", "full", "huge"}) {
    const auto answer = response(id);
    EXPECT_FALSE(answer.ok) << id;
    EXPECT_EQ(answer.error->find("leak"), std::string::npos) << id;
  }
  EXPECT_TRUE(std::filesystem::exists(fixture.paths.statePath())) << "the planted restore never ran";
  EXPECT_TRUE(readTextFile(secret));
  for (const char* gone : {"link", "hard", "fifo", "dir", "huge"}) {
    EXPECT_FALSE(std::filesystem::exists(commands() / (std::string(gone) + ".request.json"))) << gone;
  }
  EXPECT_TRUE(std::filesystem::exists(commands() / "full.request.json" / "inside")) << "never removed recursively";
}

TEST_F(CommandQueue, ARequestThatCannotBeAnsweredIsDroppedUnrun) {
  service->prepareCommandDirectory();
  const std::string longID(255 - std::string(".request.json").size(), 'x');
  request(longID + ".request.json", applyRequest("long", makeSession("L", 60)));
  request("blocked.request.json", applyRequest("blocked", makeSession("B", 60)));
  std::filesystem::create_directories(commands() / "blocked.response.json" / "inside");
  request("cleared.request.json", R"({"id":"cleared","command":"cleanup"})");
  std::filesystem::create_directories(commands() / "cleared.response.json");
  const std::string oddID = "bad\xff";
  request(oddID + ".request.json", "{}");
  service->processPendingCommands();

  EXPECT_FALSE(std::filesystem::exists(commands() / (longID + ".request.json")));
  EXPECT_FALSE(std::filesystem::exists(commands() / "blocked.request.json"));
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath())) << "the unanswerable applies never ran";
  EXPECT_TRUE(response("cleared").ok) << "an empty directory in the way is cleared";
  EXPECT_EQ(response(oddID).id, "bad\xEF\xBF\xBD");
  service->processPendingCommands();  // and the queue is not stuck behind them
}

}  // namespace
}  // namespace vellorin
