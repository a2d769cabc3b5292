// The command directory queue: ordering, responses, and the traps a local user can plant.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/FaultInjectingFileSystem.hpp"
#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using namespace vellorin::testing;

class CommandQueue : public ::testing::Test {
 protected:
  void SetUp() override { service = fixture.makeService(); }

  std::filesystem::path commands() const { return fixture.paths.commandDirectory; }
  void request(const std::string& name, const std::string& content) { writeTextFile(commands() / name, content); }
  static std::string applyRequest(const std::string& id, const HelperSession& session) {
    return HelperCommandRequest{id, HelperCommandKind::apply, session, std::nullopt}.toJson().dump();
  }
  HelperCommandResponse response(const std::string& fileID) {
    return decodeDocument<HelperCommandResponse>(readTextFile(commands() / (fileID + ".response.json")).value());
  }
  bool exists(const std::string& name) const { return std::filesystem::exists(commands() / name); }

  ServiceFixture fixture;
  std::unique_ptr<BlockerService> service;
};

TEST_F(CommandQueue, EveryPassReassertsTheDirectoriesAndTheMarker) {
  service->processPendingCommands();
  std::filesystem::permissions(commands(), std::filesystem::perms::owner_all);
  ASSERT_EQ(::chmod(fixture.paths.commandParentDirectory().c_str(), 01700), 0);
  service->processPendingCommands();
  EXPECT_EQ(readTextFile(fixture.paths.commandProtocolPath()), "3\n");
  EXPECT_EQ(std::tuple(fileMode(fixture.paths.commandProtocolPath()), fileMode(commands()),
                       fileMode(fixture.paths.commandParentDirectory())),
            std::tuple(0644u, 0777u, 01777u))
      << "a sticky bit is kept";
}

TEST_F(CommandQueue, AnIdlePassChangesNothingAndAMarkerThatDiffersInAnyWayIsReplacedUnfollowed) {
  const auto recording = std::make_shared<FaultInjectingFileSystem>(realFileSystem());
  service = fixture.makeService(recording);
  service->processPendingCommands();
  const auto marker = fixture.paths.commandProtocolPath();
  const auto hard = fixture.temp / "hard";  // after its case, the old marker: right, but reached through a link
  const std::vector<std::string> rewrite = {"write helper-protocol-v1"};
  const std::vector<std::tuple<const char*, std::function<void()>, std::vector<std::string>>> cases = {
      {"idle", [] {}, {}},
      {"content", [&] { writeTextFile(marker, "4\n"); }, rewrite},
      {"mode", [&] { std::filesystem::permissions(marker, std::filesystem::perms(0664)); }, rewrite},
      {"hard link", [&] { std::filesystem::create_hard_link(marker, hard); }, rewrite},
      {"symlink", [&] { std::filesystem::remove(marker), std::filesystem::create_symlink(hard, marker); }, rewrite},
      {"FIFO", [&] { std::filesystem::remove(marker), ::mkfifo(marker.c_str(), 0644); }, rewrite},
      {"folder", [&] { std::filesystem::permissions(commands(), std::filesystem::perms(0755)); }, {"mode"}}};
  for (const auto& [what, plant, changes] : cases) {
    plant();
    recording->journal.clear();
    service->processPendingCommands();
    EXPECT_EQ(std::tuple(recording->journal, readTextFile(marker), fileMode(marker)), std::tuple(changes, "3\n", 0644u))
        << what;
  }
}

TEST_F(CommandQueue, AnEmptyFolderAtTheMarkersOrTheEventLogsNameGivesWayAndAFullOneFails) {
  const SharedDirectories shared(fixture.paths, realFileSystem());
  for (const auto& path : {fixture.paths.commandProtocolPath(), fixture.paths.blockedApplicationEventsPath()}) {
    std::filesystem::remove(path);
    std::filesystem::create_directories(path);
    shared.prepare().writeEventLog("[]");
    EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
    std::filesystem::remove(path);
    std::filesystem::create_directories(path / "inside");
    EXPECT_THROW(shared.prepare().writeEventLog("[]"), std::system_error) << path;
    EXPECT_TRUE(std::filesystem::exists(path / "inside")) << "never removed recursively";
    std::filesystem::remove_all(path);
  }
}

TEST_F(CommandQueue, RequestsRunInByteOrderAndEachIsAnsweredOnceUnderItsFileName) {
  service->prepareCommandDirectory();
  const HelperSession first = makeSession("A", 600);  // built once: its end time is compared below
  request("b.request.json", applyRequest("second", makeSession("B", 600)));
  request("a.request.json", applyRequest("first", first));
  auto longer = first;
  longer.endsAt += std::chrono::hours(1);
  request("c.request.json", HelperCommandRequest{"third", HelperCommandKind::update, longer, {}}.toJson().dump());
  request("y.request.json", R"({"id":"y","command":"apply"})");
  request("z.request.json", R"({"id":"z","command":"restore","force":true})");
  for (const char* ignored : {"x.REQUEST.json", "x.request.json.tmp", "x.json"}) request(ignored, "{}");
  writeTextFile(commands() / "y.response.json", "stale");
  service->processPendingCommands();

  const auto answer = response("a");  // a runs first
  EXPECT_EQ(std::tuple(answer.id, answer.status->message, answer.status->phase),
            std::tuple("first", "Session applied.", "active"));
  EXPECT_EQ(response("b").error, "Session is locked until " + formatMillisecondDate(first.endsAt) + ".");
  EXPECT_EQ(response("c").status.value().activeSession.value().endsAt, longer.endsAt)
      << "a queued update is answered as one";
  EXPECT_EQ(response("y").error, "Missing helper argument: session");
  EXPECT_EQ(response("z").status->message, "Blocker restored.");
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath()));
  for (const char* gone : {"a", "b", "c", "y", "z"}) EXPECT_FALSE(exists(std::string(gone) + ".request.json")) << gone;
  for (const char* kept : {"x.REQUEST.json", "x.request.json.tmp", "x.json"}) EXPECT_TRUE(exists(kept)) << kept;
}

TEST_F(CommandQueue, ALinkInPlaceOfEitherSharedDirectoryIsReplacedNeverFollowed) {
  const auto victim = fixture.temp / "victim";
  std::filesystem::create_directories(victim);
  std::filesystem::permissions(victim, std::filesystem::perms::owner_all);
  std::filesystem::create_directory_symlink(victim, fixture.paths.commandParentDirectory());
  service->processPendingCommands();
  EXPECT_FALSE(std::filesystem::is_symlink(fixture.paths.commandParentDirectory()));

  std::filesystem::remove_all(commands());
  std::filesystem::create_directory_symlink(victim, commands());
  writeTextFile(victim / "v.request.json", applyRequest("v", makeSession("V", 60)));
  service->processPendingCommands();
  EXPECT_FALSE(std::filesystem::is_symlink(commands()));
  EXPECT_EQ(fileMode(victim), 0700u);
  EXPECT_EQ(entries(victim), std::vector<std::string>{"v.request.json"}) << "nothing read or written there";
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath()));

  std::filesystem::remove_all(commands());
  writeTextFile(commands(), "not ours");
  const std::string failure = failureText([&] { service->processPendingCommands(); });
  EXPECT_NE(failure.find(commands().string()), std::string::npos) << failure;
  EXPECT_EQ(readTextFile(commands()), "not ours");

  auto underRoot = fixture.paths;
  underRoot.commandDirectory = "/vellorin-commands";  // its parent, "/", is never opened to everyone
  EXPECT_THROW(BlockerService(underRoot, realFileSystem(), {}, 30, {}).processPendingCommands(), std::system_error);
  EXPECT_FALSE(std::filesystem::exists(underRoot.commandDirectory));
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
  writeTextFile(commands() / "huge.request.json", "");
  std::filesystem::resize_file(commands() / "huge.request.json", 100 * 1024 * 1024);
  service->apply(makeSession("S", 3600));
  service->processPendingCommands();

  for (const char* id : {"link", "hard", "fifo", "dir", "full", "huge"}) {
    const auto answer = response(id);
    EXPECT_FALSE(answer.ok) << id;
    EXPECT_EQ(answer.error->find("leak"), std::string::npos) << id;
  }
  EXPECT_TRUE(std::filesystem::exists(fixture.paths.statePath())) << "the planted restore never ran";
  EXPECT_EQ(
      entries(commands()),
      (std::vector<std::string>{"dir.response.json", "fifo.response.json", "full.request.json", "full.response.json",
                                "hard.response.json", "huge.response.json", "link.response.json"}));
  EXPECT_TRUE(exists("full.request.json/inside")) << "never removed recursively";
}

TEST_F(CommandQueue, ARequestThatCannotBeAnsweredIsDroppedUnrun) {
  service->prepareCommandDirectory();
  const std::string longID(255 - std::string(".request.json").size(), 'x');
  request(longID + ".request.json", applyRequest("long", makeSession("L", 60)));
  request("blocked.request.json", applyRequest("blocked", makeSession("B", 60)));
  std::filesystem::create_directories(commands() / "blocked.response.json" / "inside");
  request("bad\xff.request.json", "{}");
  service->processPendingCommands();

  EXPECT_FALSE(exists(longID + ".request.json"));
  EXPECT_FALSE(exists("blocked.request.json"));
  EXPECT_FALSE(std::filesystem::exists(fixture.paths.statePath())) << "the unanswerable applies never ran";
  EXPECT_EQ(response("bad\xff").id, "bad\xEF\xBF\xBD");
}

}  // namespace
}  // namespace vellorin
