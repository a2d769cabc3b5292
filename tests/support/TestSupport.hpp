// Shared test helpers: temporary directories, file helpers and a recording command runner.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "VellorinBlockerCore/CommandRunner.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"

namespace vellorin::testing {

// A fresh directory under the system's temporary directory, removed with everything in it when the
// object goes away.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Whether a sandboxed helper runs in dry-run mode (no root needed, nothing signalled) or for real.
enum class Sandbox { dryRun, real };

// HelperPaths with every location inside `root`: hosts, pf.conf, pf anchor and token files, the
// resolver, state and command directories (root/Shared/Commands).
HelperPaths sandboxPaths(const std::filesystem::path& root, Sandbox mode = Sandbox::dryRun);

// Creates the sandbox's stand-ins for the system directories that always exist on a real machine
// (root/etc and root/etc/pf.anchors).
void makeSandboxSystemDirectories(const std::filesystem::path& root);

// The environment variables that point a helper process at the same sandbox.
std::map<std::string, std::string> sandboxEnvironment(const std::filesystem::path& root,
                                                      Sandbox mode = Sandbox::dryRun);

void writeTextFile(const std::filesystem::path& path, const std::string& content, mode_t mode = 0644);
std::optional<std::string> readTextFile(const std::filesystem::path& path);
mode_t fileMode(const std::filesystem::path& path);  // permission bits (07777), following links

// The names in a directory, sorted.
std::vector<std::string> entries(const std::filesystem::path& directory);

// The text of the failure the operation ends with, or "(no failure)".
std::string failureText(const std::function<void()>& operation);

// Polls until the predicate holds or the time runs out; the predicate's last answer.
bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeLimit);
// The process is gone, or a zombie that only its new parent can reap.
bool processHasEnded(pid_t pid);

// A command runner that records every call and answers from a script, under the runner's exit
// status policy (an answer is a run that exited with status 0).
struct RecordedCall {
  std::string executable;
  std::vector<std::string> arguments;
  bool allowFailure = false;
  bool operator==(const RecordedCall&) const = default;
};

class RecordingRunner {
 public:
  // Answers calls to `executable` with `output` (all calls, in order, unless a handler is set).
  void answer(const std::string& executable, std::string output) { outputs_[executable] = std::move(output); }
  // Runs `handler` instead for calls to `executable`; it may throw to simulate a launch failure.
  void handle(const std::string& executable,
              std::function<std::string(const std::vector<std::string>&, bool)> handler) {
    handlers_[executable] = std::move(handler);
  }
  ProcessRunner runner();
  const std::vector<RecordedCall>& calls() const { return *calls_; }

 private:
  std::shared_ptr<std::vector<RecordedCall>> calls_ = std::make_shared<std::vector<RecordedCall>>();
  std::map<std::string, std::string> outputs_;
  std::map<std::string, std::function<std::string(const std::vector<std::string>&, bool)>> handlers_;
};

}  // namespace vellorin::testing
