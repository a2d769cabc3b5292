// A long run of the daemon: requests several times a second and blocked applications that keep
// starting. Every request is answered exactly once, memory and descriptors stay flat, no child is
// left a zombie and no error line appears. Its own ctest label ("soak"); VELLORIN_SOAK_SECONDS
// sets the length (600 by default).
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>

#include "support/HelperProcess.hpp"
#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using namespace vellorin::testing;

long residentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

long openDescriptors(pid_t pid) {
  const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
  return std::distance(fds, std::filesystem::directory_iterator());
}

// Children of `parent` that have exited but were never reaped.
int zombieChildren(pid_t parent) {
  int zombies = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text) || text.rfind(')') == std::string::npos) continue;
    char state = 0;
    long ppid = 0;
    if (std::sscanf(text.c_str() + text.rfind(')') + 1, " %c %ld", &state, &ppid) == 2 && ppid == parent && state == 'Z') {
      ++zombies;
    }
  }
  return zombies;
}

TEST(Soak, TheDaemonStaysCorrectAndFlatUnderLoad) {
  if (::geteuid() != 0) GTEST_SKIP() << "the daemon must be able to signal the blocked applications";
  const char* configured = std::getenv("VELLORIN_SOAK_SECONDS");
  const auto duration = std::chrono::seconds(configured ? std::atol(configured) : 600);

  TemporaryDirectory temp;
  makeSandboxSystemDirectories(temp.path());
  const auto paths = sandboxPaths(temp.path(), false);
  const std::string fakeApp = (temp / "Fake.app/Contents/MacOS/Fake").string();
  std::filesystem::create_directories(temp / "Fake.app/Contents/MacOS");
  std::filesystem::copy_file("/bin/sleep", fakeApp);
  const pid_t daemon = startHelper({{"watch"}, sandboxEnvironment(temp.path(), false), std::nullopt},
                                   (temp / "daemon.err").string());
  struct Stop {
    pid_t pid;
    ~Stop() { stopHelper(pid); }
  } stop{daemon};
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(paths.commandDirectory); }, std::chrono::seconds(10)));

  const auto session = makeSession("soak", 24 * 3600, (temp / "Fake.app").string());
  std::set<std::string> ids;
  const auto drop = [&](const std::string& id, const std::string& body) {
    writeTextFile(temp / "staged", body);
    std::filesystem::rename(temp / "staged", paths.commandDirectory / (id + ".request.json"));
    ids.insert(id);
  };
  drop("000000", HelperCommandRequest{"000000", HelperCommandKind::apply, session, {}}.toJson().dump());

  std::vector<pid_t> apps;
  size_t appsStarted = 0, appsEnded = 0;
  const auto reapApps = [&] {
    for (auto it = apps.begin(); it != apps.end();) {
      it = ::waitpid(*it, nullptr, WNOHANG) == *it ? (++appsEnded, apps.erase(it)) : it + 1;
    }
  };
  long firstResident = 0, lastResident = 0, firstDescriptors = 0, lastDescriptors = 0;
  int zombies = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int n = 1; std::chrono::steady_clock::now() - start < duration; ++n) {
    char id[16];
    std::snprintf(id, sizeof id, "%06d", n);
    const std::string bodies[] = {HelperCommandRequest{id, HelperCommandKind::update, session, {}}.toJson().dump(),
                                  R"({"id":")" + std::string(id) + R"(","command":"cleanup"})", "{not json"};
    drop(id, bodies[n % 3]);
    if (n % 5 == 0) {  // a blocked application starts every second
      const pid_t app = ::fork();
      if (app == 0) {
        ::execl(fakeApp.c_str(), fakeApp.c_str(), "300", static_cast<char*>(nullptr));
        ::_exit(127);
      }
      apps.push_back(app);
      ++appsStarted;
    }
    reapApps();
    if (n % 25 == 0) {
      lastResident = residentKilobytes(daemon);
      lastDescriptors = openDescriptors(daemon);
      if (firstResident == 0) std::tie(firstResident, firstDescriptors) = std::pair(lastResident, lastDescriptors);
      zombies = std::max(zombies, zombieChildren(daemon));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }

  EXPECT_TRUE(waitFor([&] { return reapApps(), apps.empty(); }, std::chrono::seconds(5))) << apps.size() << " still run";
  std::set<std::string> answered;
  ASSERT_TRUE(waitFor(
      [&] {
        answered.clear();
        for (const auto& entry : std::filesystem::directory_iterator(paths.commandDirectory)) {
          const std::string name = entry.path().filename();
          if (name.size() > 14 && name.substr(name.size() - 14) == ".response.json") answered.insert(name.substr(0, name.size() - 14));
          else if (name.find(".request.json") != std::string::npos) return false;
        }
        return true;
      },
      std::chrono::seconds(10)));
  EXPECT_EQ(answered, ids);
  EXPECT_EQ(appsEnded, appsStarted);
  EXPECT_EQ(readTextFile(temp / "daemon.err").value_or(""), "");
  EXPECT_EQ(zombies, 0);
  EXPECT_EQ(lastDescriptors, firstDescriptors);
  EXPECT_LT(lastResident, firstResident + firstResident / 10 + 512);
  std::printf("soak: %zu requests answered, %zu blocked launches ended, resident %ld -> %ld kB, descriptors %ld -> %ld\n",
              ids.size(), appsStarted, firstResident, lastResident, firstDescriptors, lastDescriptors);
}

}  // namespace
}  // namespace vellorin
