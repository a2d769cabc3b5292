// A long run of the daemon: requests several times a second and blocked applications that keep
// starting. Every request is answered exactly once, memory and descriptors stay flat, no child is
// left a zombie and no error line appears. Its own ctest label ("soak"); VELLORIN_SOAK_SECONDS
// sets the length (600 by default).
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>

#include "VellorinBlockerCore/Models.hpp"
#include "support/HelperProcess.hpp"
#include "support/ServiceFixture.hpp"

namespace vellorin {
namespace {

using namespace vellorin::testing;
using Clock = std::chrono::steady_clock;

long residentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

size_t openDescriptors(pid_t pid) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

// Children of `parent` that have exited but were never reaped.
size_t zombieChildren(pid_t parent) {
  size_t zombies = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    std::getline(stat, text);
    const auto close = text.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long ppid = 0;
    if (std::sscanf(text.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == parent && state == 'Z') {
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
  const auto paths = sandboxPaths(temp.path(), false);
  makeSandboxSystemDirectories(temp.path());
  const auto fakeApp = temp / "Fake.app";
  std::filesystem::create_directories(fakeApp / "Contents/MacOS");
  std::filesystem::copy_file("/bin/sleep", fakeApp / "Contents/MacOS/Fake");

  auto environment = sandboxEnvironment(temp.path(), false);
  environment["PATH"] = "/usr/bin:/bin";
  const auto errorLog = temp / "daemon.err";
  const pid_t daemon = startHelper({{"watch"}, environment, std::nullopt}, errorLog.string());
  struct Stop {
    pid_t pid;
    ~Stop() { stopHelper(pid); }
  } stop{daemon};
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(paths.commandProtocolPath()); }, std::chrono::seconds(10)));

  const auto session = makeSession("soak", 24 * 3600, fakeApp.string());
  const auto drop = [&](const std::string& id, const std::string& body) {
    writeTextFile(temp / "staged", body);
    std::filesystem::rename(temp / "staged", paths.commandDirectory / (id + ".request.json"));
  };
  drop("0000-apply", HelperCommandRequest{"0000-apply", HelperCommandKind::apply, session, {}}.toJson().dump());

  std::set<std::string> ids = {"0000-apply"};
  std::vector<pid_t> apps;
  size_t appsStarted = 0, appsEnded = 0;
  long firstResident = 0, lastResident = 0;
  size_t firstDescriptors = 0, lastDescriptors = 0, worstZombies = 0;
  const auto start = Clock::now();
  auto nextApp = start;
  for (int n = 1; Clock::now() - start < duration; ++n) {
    char id[32];
    std::snprintf(id, sizeof id, "%06d", n);
    std::string body;
    switch (n % 3) {
      case 0: body = HelperCommandRequest{id, HelperCommandKind::update, session, {}}.toJson().dump(); break;
      case 1: body = R"({"id":")" + std::string(id) + R"(","command":"cleanup"})"; break;
      default: body = "{not json"; break;
    }
    drop(id, body);
    ids.insert(id);

    if (Clock::now() >= nextApp) {
      const pid_t app = ::fork();
      if (app == 0) {
        // The full path as the first argument: the process table shows it as the command line.
        const std::string executable = fakeApp / "Contents/MacOS/Fake";
        ::execl(executable.c_str(), executable.c_str(), "300", static_cast<char*>(nullptr));
        ::_exit(127);
      }
      apps.push_back(app);
      ++appsStarted;
      nextApp = Clock::now() + std::chrono::seconds(1);
    }
    for (auto it = apps.begin(); it != apps.end();) {
      if (::waitpid(*it, nullptr, WNOHANG) == *it) {
        it = apps.erase(it);
        ++appsEnded;
      } else {
        ++it;
      }
    }
    if (n % 20 == 0) {
      lastResident = residentKilobytes(daemon);
      lastDescriptors = openDescriptors(daemon);
      if (firstResident == 0 && Clock::now() - start > std::chrono::seconds(5)) {
        firstResident = lastResident;
        firstDescriptors = lastDescriptors;
      }
      worstZombies = std::max(worstZombies, zombieChildren(daemon));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }

  ASSERT_TRUE(waitFor(
      [&] {
        for (const auto& entry : std::filesystem::directory_iterator(paths.commandDirectory)) {
          if (entry.path().string().find(".request.json") != std::string::npos) return false;
        }
        return true;
      },
      std::chrono::seconds(10)));
  ASSERT_TRUE(waitFor(
      [&] {
        for (auto it = apps.begin(); it != apps.end();) {
          if (::waitpid(*it, nullptr, WNOHANG) == *it) {
            it = apps.erase(it);
            ++appsEnded;
          } else {
            ++it;
          }
        }
        return apps.empty();
      },
      std::chrono::seconds(5)))
      << apps.size() << " blocked applications still run";

  std::set<std::string> answered;
  for (const auto& entry : std::filesystem::directory_iterator(paths.commandDirectory)) {
    const std::string name = entry.path().filename();
    ASSERT_NE(name.find(".response.json"), std::string::npos) << name;
    answered.insert(name.substr(0, name.size() - std::string(".response.json").size()));
  }
  EXPECT_EQ(answered, ids);
  EXPECT_EQ(appsEnded, appsStarted);
  EXPECT_EQ(readTextFile(errorLog).value_or(""), "");
  EXPECT_EQ(worstZombies, 0u);
  EXPECT_EQ(lastDescriptors, firstDescriptors);
  EXPECT_LT(lastResident, firstResident + firstResident / 10 + 512) << firstResident << " kB at first";
  std::printf("soak: %zu requests answered, %zu blocked launches ended, resident %ld -> %ld kB, descriptors %zu -> %zu\n",
              ids.size(), appsStarted, firstResident, lastResident, firstDescriptors, lastDescriptors);
}

}  // namespace
}  // namespace vellorin
