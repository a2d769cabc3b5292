// In-process costs of the helper's hot paths, with Google Benchmark.
#include <benchmark/benchmark.h>

#include "VellorinBlockerCore/ApplicationBlocker.hpp"
#include "VellorinBlockerCore/HostsBlocker.hpp"
#include "VellorinBlockerCore/Models.hpp"

namespace vellorin {
namespace {

std::string snapshotText(int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i) {
    text += "  " + std::to_string(1000 + i) + "     1 /Applications/App" + std::to_string(i) +
            ".app/Contents/MacOS/App" + std::to_string(i) + " --type=renderer --field-trial-handle=12345\n";
  }
  return text;
}

std::vector<HelperApp> targets(int count) {
  std::vector<HelperApp> apps;
  for (int i = 0; i < count; ++i) {
    apps.push_back({"a" + std::to_string(i), "com.example.app" + std::to_string(i), "App",
                    "/Applications/Blocked" + std::to_string(i) + ".app", false, std::nullopt});
  }
  return apps;
}

void SnapshotParsing1000Lines(benchmark::State& state) {
  const std::string text = snapshotText(1000);
  for (auto _ : state) benchmark::DoNotOptimize(parseProcessSnapshot(text));
}
BENCHMARK(SnapshotParsing1000Lines);

// Matching 1,000 processes against as many targets as the argument says (10 of them running), with
// the index of the targets built, as a termination call builds it once for both its snapshots.
std::vector<HelperApp> targetsWithTenRunning(int count) {
  auto apps = targets(count);
  for (int i = 0; i < 10; ++i)
    apps[static_cast<size_t>(i)].path = "/Applications/App" + std::to_string(i * 100) + ".app";
  return apps;
}

void Matching1000ProcessesAgainstTargets(benchmark::State& state) {
  const auto processes = parseProcessSnapshot(snapshotText(1000));
  const auto apps = targetsWithTenRunning(static_cast<int>(state.range(0)));
  const ApplicationTargetIndex index(apps);
  const std::vector<AllowedProcessMatcher> matchers = {{{"--user-data-dir=/tmp/p", "--remote-debugging-port=", "m"}}};
  for (auto _ : state) benchmark::DoNotOptimize(ApplicationBlocker::matchingProcesses(index, processes, matchers));
}
BENCHMARK(Matching1000ProcessesAgainstTargets)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

void IndexingTargets(benchmark::State& state) {
  const auto apps = targetsWithTenRunning(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(ApplicationTargetIndex(apps));
}
BENCHMARK(IndexingTargets)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

void SessionDecodeEncodeWith50Apps(benchmark::State& state) {
  HelperSession session;
  session.id = "S";
  session.profileName = "Deep work";
  session.apps = targets(50);
  for (auto& app : session.apps) app.iconDataUri = "data:image/png;base64," + std::string(2048, 'A');
  const std::string document = encodeDocument(session.toJson());
  for (auto _ : state) {
    const auto decoded = decodeDocument<HelperSession>(document);
    benchmark::DoNotOptimize(encodeDocument(decoded.toJson()));
  }
}
BENCHMARK(SessionDecodeEncodeWith50Apps);

void StrippingABlockFromA100000LineHostsFile(benchmark::State& state) {
  const HostsBlocker blocker(HelperPaths::fromEnvironment({}), realFileSystem());
  std::string text;
  for (int i = 0; i < 100000; ++i)
    text += "10.0." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + "\thost" + std::to_string(i) +
            ".example\n";
  text += blocker.renderBlock({"a.example", "b.example"}, "S1") + "\n";
  for (auto _ : state) benchmark::DoNotOptimize(blocker.stripBlock(text));
}
BENCHMARK(StrippingABlockFromA100000LineHostsFile);

}  // namespace
}  // namespace vellorin

BENCHMARK_MAIN();
