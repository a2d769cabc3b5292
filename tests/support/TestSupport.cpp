// Shared test helpers.
#include "support/TestSupport.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vellorin::testing {

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vellorin-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

HelperPaths sandboxPaths(const std::filesystem::path& root, Sandbox mode) {
  return HelperPaths::fromEnvironment(sandboxEnvironment(root, mode));
}

void makeSandboxSystemDirectories(const std::filesystem::path& root) {
  std::filesystem::create_directories(root / "etc/pf.anchors");
}

std::map<std::string, std::string> sandboxEnvironment(const std::filesystem::path& root, Sandbox mode) {
  std::map<std::string, std::string> environment = {
      {"VELLORIN_HOSTS_PATH", (root / "etc/hosts").string()},
      {"VELLORIN_PF_CONF_PATH", (root / "etc/pf.conf").string()},
      {"VELLORIN_PF_ANCHOR_PATH", (root / "etc/pf.anchors/app.vellorin.helper").string()},
      {"VELLORIN_PF_TOKEN_PATH", (root / "etc/VellorinPFToken").string()},
      {"VELLORIN_RESOLVER_DIR", (root / "etc/resolver").string()},
      {"VELLORIN_STATE_DIR", (root / "state").string()},
      {"VELLORIN_COMMAND_DIR", (root / "Shared/Commands").string()},
  };
  if (mode == Sandbox::dryRun) environment["VELLORIN_DRY_RUN"] = "1";
  // A coverage build's helper writes its profile where the coverage run says, whoever it runs as.
  if (const char* profile = std::getenv("LLVM_PROFILE_FILE")) environment["LLVM_PROFILE_FILE"] = profile;
  return environment;
}

void writeTextFile(const std::filesystem::path& path, const std::string& content, mode_t mode) {
  std::filesystem::create_directories(path.parent_path());
  {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << content;
    if (!stream) throw std::runtime_error("cannot write " + path.string());
  }
  std::filesystem::permissions(path, static_cast<std::filesystem::perms>(mode));
}

std::optional<std::string> readTextFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return std::nullopt;
  std::ostringstream content;
  content << stream.rdbuf();
  return content.str();
}

mode_t fileMode(const std::filesystem::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) throw std::runtime_error("stat " + path.string());
  return status.st_mode & 07777;
}

std::vector<std::string> entries(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string failureText(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no failure)";
}

bool processHasEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), {});
  return text.empty() || text.substr(text.rfind(')') + 2, 1) == "Z";
}

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeLimit) {
  const auto deadline = std::chrono::steady_clock::now() + timeLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return predicate();
}

ProcessRunner RecordingRunner::runner() {
  auto calls = calls_;
  auto outputs = outputs_;
  auto handlers = handlers_;
  return [calls, outputs, handlers](const std::string& executable, const std::vector<std::string>& arguments,
                                    const RunOptions& options) {
    calls->push_back({executable, arguments, options.allowFailure});
    if (const auto handler = handlers.find(executable); handler != handlers.end()) {
      return handler->second(arguments, options.allowFailure);
    }
    const auto output = outputs.find(executable);
    return output == outputs.end() ? std::string() : output->second;
  };
}

}  // namespace vellorin::testing
