// Side-by-side measurements of the helper at work: an idle pass against its system-call floor, an
// enforcement pass against a bare process listing, the request round trip, and the time to kill.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <thread>

#include "VellorinBlockerCore/BlockerService.hpp"
#include "support/HelperProcess.hpp"
#include "support/ServiceFixture.hpp"

using namespace vellorin;
using namespace vellorin::testing;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
double cpuAll() { return cpuSeconds(RUSAGE_SELF) + cpuSeconds(RUSAGE_CHILDREN); }

pid_t launch(const std::vector<std::string>& arguments) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

void reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

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
  return std::make_unique<BlockerService>(paths, realFileSystem(), std::nullopt,
                                          std::make_unique<NoopBlockedApplicationNotifier>(), 30.0,
                                          [] { return std::chrono::system_clock::now(); });
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
  reap(launch({floorProgram, floorSandbox.path().string(), std::to_string(passes)}));
  const double floor = (cpuSeconds(RUSAGE_CHILDREN) - childrenBefore) / passes;
  std::printf("idle pass: %.1f us CPU; system-call floor %.1f us; ratio %.2f (target at most 2)\n", pass * 1e6,
              floor * 1e6, pass / floor);
}

void activePass(int extraProcesses) {
  std::vector<pid_t> sleepers;
  for (int i = 0; i < extraProcesses; ++i) sleepers.push_back(launch({"/bin/sleep", "600"}));
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
    runProcess("/bin/ps", {"-axo", "pid=,ppid=,command="});
    psTotal += cpuAll() - before;
  }
  for (const pid_t pid : sleepers) ::kill(pid, SIGKILL);
  for (const pid_t pid : sleepers) reap(pid);
  std::printf("active pass, %4d extra processes: %.2f ms CPU; bare ps %.2f ms; overhead %+.1f %% (target at most 10 %%)\n",
              extraProcesses, passTotal / rounds * 1e3, psTotal / rounds * 1e3, (passTotal / psTotal - 1) * 100);
}

void roundTrip() {
  TemporaryDirectory temp;
  makeSandboxSystemDirectories(temp.path());
  const auto paths = sandboxPaths(temp.path());
  auto environment = sandboxEnvironment(temp.path());
  const pid_t daemon = startHelper({{"watch"}, environment, std::nullopt}, (temp / "err").string());
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
  stopHelper(daemon);
  std::printf("request round trip over %zu requests: median %.0f ms (target under 120), p99 %.0f ms (target under 250)\n",
              latencies.size(), percentile(latencies, 0.5) * 1e3, percentile(latencies, 0.99) * 1e3);
}

void timeToKill(const std::string& ignoreTermProgram) {
  if (::geteuid() != 0) {
    std::printf("time to kill: skipped (needs root)\n");
    return;
  }
  TemporaryDirectory temp;
  makeSandboxSystemDirectories(temp.path());
  const auto bundle = temp / "Fake.app";
  std::filesystem::create_directories(bundle / "Contents/MacOS");
  const auto executable = (bundle / "Contents/MacOS/Fake").string();
  const auto paths = sandboxPaths(temp.path(), false);
  writeTextFile(temp / "session.json", makeSession("kill", 3600, bundle.string()).toJson().dump());
  auto environment = sandboxEnvironment(temp.path(), false);
  runHelper({{"apply", (temp / "session.json").string()}, environment, std::nullopt});
  const pid_t daemon = startHelper({{"watch"}, environment, std::nullopt}, (temp / "err").string());
  waitFor([&] { return std::filesystem::exists(paths.commandProtocolPath()); }, std::chrono::seconds(10));

  for (const auto& [label, program] : {std::pair<std::string, std::string>{"obeys SIGTERM", "/bin/sleep"},
                                       std::pair<std::string, std::string>{"ignores SIGTERM", ignoreTermProgram}}) {
    std::filesystem::remove(executable);
    std::filesystem::copy_file(program, executable);
    std::vector<double> times;
    for (int i = 0; i < 50; ++i) {
      randomPause(std::chrono::milliseconds(600));
      const auto start = Clock::now();
      reap(launch({executable, "600"}));
      times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::printf("time to kill, an application that %s: median %.0f ms, worst %.0f ms over %zu launches\n",
                label.c_str(), percentile(times, 0.5) * 1e3, *std::max_element(times.begin(), times.end()) * 1e3,
                times.size());
  }
  stopHelper(daemon);
}

// One termination pass on its own: with nothing to end, and with one application to end.
void terminatePass() {
  if (::geteuid() != 0) {
    std::printf("termination pass: skipped (needs root)\n");
    return;
  }
  TemporaryDirectory temp;
  const auto bundle = temp / "Fake.app";
  std::filesystem::create_directories(bundle / "Contents/MacOS");
  const auto executable = (bundle / "Contents/MacOS/Fake").string();
  std::filesystem::copy_file("/bin/sleep", executable);
  const ApplicationBlocker blocker(sandboxPaths(temp.path(), false));
  const HelperApp app{"a", "com.example.fake", "Fake", bundle.string(), false, std::nullopt};
  for (const bool withApplication : {false, true}) {
    constexpr int rounds = 20;
    double wall = 0, cpu = 0;
    for (int i = 0; i < rounds; ++i) {
      pid_t running = -1;
      if (withApplication) {
        running = launch({executable, "600"});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // until it has exec'ed
      }
      const double cpuBefore = cpuAll();
      const auto start = Clock::now();
      blocker.terminate({app}, "bench", {});
      wall += std::chrono::duration<double>(Clock::now() - start).count();
      cpu += cpuAll() - cpuBefore;
      if (running > 0) reap(running);
    }
    std::printf("termination pass, %s: %.1f ms wall, %.1f ms CPU (with ps and kill), over %d passes\n",
                withApplication ? "one application to end" : "nothing to end", wall / rounds * 1e3,
                cpu / rounds * 1e3, rounds);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SYSCALL_FLOOR_PROGRAM IGNORE_TERM_PROGRAM\n", argv[0]);
    return 2;
  }
  idlePass(argv[1]);
  terminatePass();
  for (const int extra : {100, 1000}) activePass(extra);
  roundTrip();
  timeToKill(argv[2]);
  return 0;
}
