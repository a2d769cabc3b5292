// Side-by-side measurements of the helper at work: an idle pass against its system-call floor, an
// enforcement pass against a bare process listing, the request round trip, and the time to kill.
// With --soak SECONDS instead: a long run of the daemon under load, checked for correctness and for
// flat memory, descriptors and children.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <list>
#include <random>
#include <set>
#include <thread>

#include "VellorinBlockerCore/BlockerService.hpp"
#include "VellorinBlockerCore/PlatformTools.hpp"
#include "support/ChildProcess.hpp"
#include "support/ServiceFixture.hpp"

using namespace vellorin;
using namespace vellorin::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uid_t nobody = 65534;  // the stand-in applications run as an ordinary user

// A fresh sandbox whose folders an ordinary user may enter, for the stand-in applications.
void openSandboxToEveryone(const TemporaryDirectory& temp) {
  std::filesystem::permissions(temp.path(), std::filesystem::perms(0755));
}

// A copy of `program` as the main executable of an application bundle in the sandbox.
std::string installStandIn(const TemporaryDirectory& temp, const std::string& program) {
  const auto executable = temp / "Fake.app/Contents/MacOS/Fake";
  std::filesystem::create_directories(executable.parent_path());
  std::filesystem::remove(executable);
  std::filesystem::copy_file(program, executable);
  return executable.string();
}

double cpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
double cpuAll() { return cpuSeconds(RUSAGE_SELF) + cpuSeconds(RUSAGE_CHILDREN); }

// Requests and launches arrive at random moments, as they do in use: a closed loop that acts right
// after the daemon's previous pass would always wait out a whole poll interval.
void randomPause(std::chrono::milliseconds longest) {
  static std::mt19937 generator(20261207);
  std::uniform_int_distribution<long> distribution(0, longest.count());
  std::this_thread::sleep_for(std::chrono::milliseconds(distribution(generator)));
}

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

std::unique_ptr<BlockerService> makeService(const HelperPaths& paths) {
  return std::make_unique<BlockerService>(
      paths, realFileSystem(),
      BlockerServiceCollaborators{.blockedApplicationNotifier = std::make_unique<NoopBlockedApplicationNotifier>()},
      30.0, [] { return std::chrono::system_clock::now(); });
}

void idlePass(const std::string& floorProgram) {
  TemporaryDirectory temp;
  makeSandboxSystemDirectories(temp.path());
  auto service = makeService(sandboxPaths(temp.path()));
  constexpr int passes = 3000;
  for (int i = 0; i < 100; ++i) service->watchPass(0.2);
  const double before = cpuSeconds(RUSAGE_SELF);
  for (int i = 0; i < passes; ++i) service->watchPass(0.2);
  const double pass = (cpuSeconds(RUSAGE_SELF) - before) / passes;

  TemporaryDirectory floorSandbox;
  const double childrenBefore = cpuSeconds(RUSAGE_CHILDREN);
  ChildProcess({floorProgram, floorSandbox.path().string(), std::to_string(passes)})
      .waitForExit(std::chrono::minutes(5));
  const double floor = (cpuSeconds(RUSAGE_CHILDREN) - childrenBefore) / passes;
  std::printf("idle pass: %.1f us CPU; system-call floor %.1f us; ratio %.2f (target at most 2)\n", pass * 1e6,
              floor * 1e6, pass / floor);
}

void activePass(int extraProcesses) {
  std::list<ChildProcess> sleepers;  // ended and reaped when the list goes
  for (int i = 0; i < extraProcesses; ++i) sleepers.emplace_back(std::vector<std::string>{"/bin/sleep", "600"});
  TemporaryDirectory temp;
  const auto paths = sandboxPaths(temp.path());
  auto service = makeService(paths);
  service->apply(makeSession("bench", 3600, (temp / "Absent.app").string()));

  constexpr int rounds = 40;
  double passTotal = 0, psTotal = 0;
  for (int i = 0; i < rounds; ++i) {  // interleaved, so both see the same machine at the same moment
    double before = cpuAll();
    service->enforceActiveSession();
    passTotal += cpuAll() - before;
    before = cpuAll();
    runProcess("/bin/ps", {"-axo", "pid=,ppid=,command="}, {});
    psTotal += cpuAll() - before;
  }
  std::printf(
      "active pass, %4d extra processes: %.2f ms CPU; bare ps %.2f ms; overhead %+.1f %% (target at most 10 %%)\n",
      extraProcesses, passTotal / rounds * 1e3, psTotal / rounds * 1e3, (passTotal / psTotal - 1) * 100);
}

void roundTrip() {
  TemporaryDirectory temp;
  makeSandboxSystemDirectories(temp.path());
  const auto paths = sandboxPaths(temp.path());
  auto environment = sandboxEnvironment(temp.path());
  ChildProcess daemon({helperBinary(), "watch"},
                      {.environment = environment, .standardError = (temp / "err").string()});
  waitFor([&] { return std::filesystem::exists(paths.commandProtocolPath()); }, std::chrono::seconds(10));
  std::vector<double> latencies;
  for (int i = 0; i < 200; ++i) {
    const std::string id = "rt" + std::to_string(i);
    writeTextFile(temp / "staged", R"({"id":")" + id + R"(","command":"cleanup"})");
    const auto response = paths.commandResponsePath(id);
    randomPause(std::chrono::milliseconds(400));
    const auto start = Clock::now();
    std::filesystem::rename(temp / "staged", paths.commandRequestPath(id));
    while (!std::filesystem::exists(response)) std::this_thread::sleep_for(std::chrono::microseconds(500));
    latencies.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    std::filesystem::remove(response);
  }
  std::printf(
      "request round trip over %zu requests: median %.0f ms (target under 120), p99 %.0f ms (target under 250)\n",
      latencies.size(), percentile(latencies, 0.5) * 1e3, percentile(latencies, 0.99) * 1e3);
}

void timeToKill(const std::string& ignoreTermProgram) {
  if (::geteuid() != 0) {
    std::printf("time to kill: skipped (needs root)\n");
    return;
  }
  TemporaryDirectory temp;
  makeSandboxSystemDirectories(temp.path());
  openSandboxToEveryone(temp);
  const auto bundle = temp / "Fake.app";
  const auto paths = sandboxPaths(temp.path(), Sandbox::real);
  writeTextFile(temp / "session.json", makeSession("kill", 3600, bundle.string()).toJson().dump());
  auto environment = sandboxEnvironment(temp.path(), Sandbox::real);
  runHelper({"apply", (temp / "session.json").string()}, environment);
  ChildProcess daemon({helperBinary(), "watch"},
                      {.environment = environment, .standardError = (temp / "err").string()});
  waitFor([&] { return std::filesystem::exists(paths.commandProtocolPath()); }, std::chrono::seconds(10));

  for (const auto& [label, program] : {std::pair<std::string, std::string>{"obeys SIGTERM", "/bin/sleep"},
                                       std::pair<std::string, std::string>{"ignores SIGTERM", ignoreTermProgram}}) {
    const std::string executable = installStandIn(temp, program);
    std::vector<double> times;
    for (int i = 0; i < 50; ++i) {
      randomPause(std::chrono::milliseconds(600));
      const auto start = Clock::now();
      ChildProcess({executable, "600"}, {.user = nobody}).waitForExit(std::chrono::seconds(30));
      times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::printf("time to kill, an application that %s: median %.0f ms, worst %.0f ms over %zu launches\n",
                label.c_str(), percentile(times, 0.5) * 1e3, *std::max_element(times.begin(), times.end()) * 1e3,
                times.size());
  }
}

// One termination pass on its own: with nothing to end, and with one application to end.
void terminatePass() {
  if (::geteuid() != 0) {
    std::printf("termination pass: skipped (needs root)\n");
    return;
  }
  TemporaryDirectory temp;
  openSandboxToEveryone(temp);
  const auto bundle = temp / "Fake.app";
  const std::string executable = installStandIn(temp, "/bin/sleep");
  const ApplicationBlocker blocker(sandboxPaths(temp.path(), Sandbox::real), defaultProcessRunner());
  const HelperApp app{"a", "com.example.fake", "Fake", bundle.string(), false, std::nullopt};
  for (const bool withApplication : {false, true}) {
    constexpr int rounds = 20;
    double wall = 0, cpu = 0;
    for (int i = 0; i < rounds; ++i) {
      std::optional<ChildProcess> running;
      if (withApplication) {
        running.emplace(std::vector<std::string>{executable, "600"}, ChildProcess::Options{.user = nobody});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // until it has exec'ed
      }
      const double cpuBefore = cpuAll();
      const auto start = Clock::now();
      blocker.terminate({app}, "bench", {});
      wall += std::chrono::duration<double>(Clock::now() - start).count();
      cpu += cpuAll() - cpuBefore;
    }
    std::printf("termination pass, %s: %.1f ms wall, %.1f ms CPU (with ps and kill), over %d passes\n",
                withApplication ? "one application to end" : "nothing to end", wall / rounds * 1e3, cpu / rounds * 1e3,
                rounds);
  }
}

// A stored session of `applications` and `websites` targets: what one daemon pass costs while it is
// stored, and what answering one small queued request costs (each refusal reads the stored session).
void largeSession(size_t applications, size_t websites) {
  TemporaryDirectory temp;
  makeSandboxSystemDirectories(temp.path());
  const auto paths = sandboxPaths(temp.path());  // dry-run mode: nothing is signalled
  auto service = makeService(paths);
  HelperSession session = makeSession("large", 3600);
  session.apps.clear();
  for (size_t i = 0; i < applications; ++i) {
    session.apps.push_back({"a" + std::to_string(i), "com.example.app" + std::to_string(i), "App",
                            "/Applications/Blocked" + std::to_string(i) + ".app", false, std::nullopt});
  }
  session.websites.clear();
  for (size_t i = 0; i < websites; ++i) {
    session.websites.push_back({"w" + std::to_string(i), "site" + std::to_string(i) + ".example", true, false});
  }
  try {
    service->apply(session);
  } catch (const std::exception& error) {
    std::printf("session of %zu applications and %zu websites: refused: %s\n", applications, websites, error.what());
    return;
  }
  constexpr int rounds = 5;
  double passes = 0, requests = 0;
  for (int i = 0; i < rounds; ++i) {
    double before = cpuAll();
    service->watchPass(0.2);
    passes += cpuAll() - before;
    writeTextFile(paths.commandRequestPath("r"), R"({"id":"r","command":"cleanup"})");
    before = cpuAll();
    service->processPendingCommands();
    requests += cpuAll() - before;
  }
  std::printf(
      "session of %zu applications and %zu websites (state file %ju kB): a daemon pass %.1f ms CPU, "
      "one queued request %.1f ms CPU\n",
      applications, websites, static_cast<uintmax_t>(std::filesystem::file_size(paths.statePath()) / 1024),
      passes / rounds * 1e3, requests / rounds * 1e3);
}

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
    if (std::sscanf(text.c_str() + text.rfind(')') + 1, " %c %ld", &state, &ppid) == 2 && ppid == parent &&
        state == 'Z') {
      ++zombies;
    }
  }
  return zombies;
}

// The daemon for `seconds` with a request every 0.2 s and a blocked application starting every
// second: every request answered exactly once, every launch ended, memory and descriptors flat,
// no zombie child, no error line. Returns the exit status of the run.
int soak(long seconds) {
  TemporaryDirectory temp;
  makeSandboxSystemDirectories(temp.path());
  openSandboxToEveryone(temp);
  const auto paths = sandboxPaths(temp.path(), Sandbox::real);
  const std::string standIn = installStandIn(temp, "/bin/sleep");
  ChildProcess daemon({helperBinary(), "watch"}, {.environment = sandboxEnvironment(temp.path(), Sandbox::real),
                                                  .standardError = (temp / "err").string()});
  waitFor([&] { return std::filesystem::exists(paths.commandDirectory); }, std::chrono::seconds(10));

  const auto session = makeSession("soak", 24 * 3600, (temp / "Fake.app").string());
  std::set<std::string> ids;
  const auto drop = [&](const std::string& id, const std::string& body) {
    writeTextFile(temp / "staged", body);
    std::filesystem::rename(temp / "staged", paths.commandRequestPath(id));
    ids.insert(id);
  };
  drop("000000", HelperCommandRequest{"000000", HelperCommandKind::apply, session, {}}.toJson().dump());

  std::list<ChildProcess> applications;
  size_t started = 0, ended = 0;
  const auto reapEnded = [&] {
    applications.remove_if([&](ChildProcess& application) {
      const bool gone = application.waitForExit(std::chrono::milliseconds(0)).has_value();
      ended += gone;
      return gone;
    });
  };
  long firstResident = 0, lastResident = 0, firstDescriptors = 0, lastDescriptors = 0;
  int zombies = 0;
  const auto start = Clock::now();
  for (int n = 1; Clock::now() - start < std::chrono::seconds(seconds); ++n) {
    char id[16];
    std::snprintf(id, sizeof id, "%06d", n);
    const std::string bodies[] = {HelperCommandRequest{id, HelperCommandKind::update, session, {}}.toJson().dump(),
                                  R"({"id":")" + std::string(id) + R"(","command":"cleanup"})", "{not json"};
    drop(id, bodies[n % 3]);
    if (n % 5 == 0) {
      applications.emplace_back(std::vector<std::string>{standIn, "300"}, ChildProcess::Options{.user = nobody});
      ++started;
    }
    reapEnded();
    if (n % 25 == 0) {
      lastResident = residentKilobytes(daemon.pid());
      lastDescriptors = openDescriptors(daemon.pid());
      if (firstResident == 0) std::tie(firstResident, firstDescriptors) = std::pair(lastResident, lastDescriptors);
      zombies = std::max(zombies, zombieChildren(daemon.pid()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }

  waitFor([&] { return reapEnded(), applications.empty(); }, std::chrono::seconds(5));
  std::set<std::string> answered;
  const bool drained = waitFor(
      [&] {
        answered.clear();
        for (const auto& entry : std::filesystem::directory_iterator(paths.commandDirectory)) {
          const std::string name = entry.path().filename();
          if (name.ends_with(".request.json")) return false;
          if (name.ends_with(".response.json")) answered.insert(name.substr(0, name.size() - 14));
        }
        return true;
      },
      std::chrono::seconds(10));
  const std::string errors = readTextFile(temp / "err").value_or("");
  std::printf(
      "soak, %ld s: %zu of %zu requests answered, %zu of %zu blocked launches ended, resident %ld -> %ld kB, "
      "descriptors %ld -> %ld, %d zombies, %zu bytes on standard error\n",
      seconds, answered.size(), ids.size(), ended, started, firstResident, lastResident, firstDescriptors,
      lastDescriptors, zombies, errors.size());
  const bool flat = lastDescriptors == firstDescriptors && lastResident < firstResident + firstResident / 10 + 512;
  return drained && answered == ids && ended == started && zombies == 0 && errors.empty() && flat ? 0 : 1;
}

}  // namespace

// Sizes of stored sessions measured: a usual one, the most a session may hold, and far more.
constexpr std::pair<size_t, size_t> sessionSizes[] = {{10, 10}, {1000, 1000}, {100000, 0}, {0, 10000}};

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--soak") return soak(std::atol(argv[2]));
  if (argc == 2 && std::string(argv[1]) == "--large-sessions") {
    for (const auto& [applications, websites] : sessionSizes) largeSession(applications, websites);
    return 0;
  }
  if (argc != 3) {
    std::fprintf(
        stderr,
        "usage: %s SYSCALL_FLOOR_PROGRAM IGNORE_TERM_PROGRAM\n       %s --soak SECONDS\n       %s --large-sessions\n",
        argv[0], argv[0], argv[0]);
    return 2;
  }
  idlePass(argv[1]);
  terminatePass();
  for (const int extra : {100, 1000}) activePass(extra);
  roundTrip();
  timeToKill(argv[2]);
  for (const auto& [applications, websites] : sessionSizes) largeSession(applications, websites);
  return 0;
}
