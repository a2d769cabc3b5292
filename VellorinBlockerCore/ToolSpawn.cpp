// Starting a tool with posix_spawn: its output descriptor, its process group, its signals.
#include "VellorinBlockerCore/ToolSpawn.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <utility>

// POSIX's process environment, which macOS's unistd.h does not declare.
extern char** environ;  // NOLINT(readability-redundant-declaration,cppcoreguidelines-avoid-non-const-global-variables)

namespace vellorin {
namespace {

// Moves a descriptor above the standard streams. A helper started with a closed standard stream
// could otherwise get its pipe end as descriptor 1 or 2, and the child's dup2 onto the same number
// would then leave the close-on-exec flag set and the child without an output.
UniqueFd aboveStandardStreams(UniqueFd fd) {
  if (fd.get() > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) throwSystemError("fcntl F_DUPFD_CLOEXEC");
  return UniqueFd(moved);
}

// posix_spawn's configuration objects, destroyed on every path.
class SpawnActions {
 public:
  SpawnActions() {
    if (const int error = ::posix_spawn_file_actions_init(&actions_); error != 0) {
      throwSystemError(error, "posix_spawn_file_actions_init");
    }
  }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  SpawnActions(SpawnActions&&) = delete;
  SpawnActions& operator=(SpawnActions&&) = delete;

  void duplicate(int fd, int target) {
    if (const int error = ::posix_spawn_file_actions_adddup2(&actions_, fd, target); error != 0) {
      throwSystemError(error, "posix_spawn_file_actions_adddup2");
    }
  }
  // Descriptors that whoever started the helper left open without close-on-exec are not ours to
  // pass on either: the child keeps its standard streams only. Standard input is named on every
  // platform, as macOS requires, so that a closed one fails the start here just as on a Mac.
  void keepOnlyStandardStreams() {
#if defined(__APPLE__)
    // Together with POSIX_SPAWN_CLOEXEC_DEFAULT (see SpawnAttributes), which closes everything not
    // named here; the dup2 targets are named already.
    if (const int error = ::posix_spawn_file_actions_addinherit_np(&actions_, STDIN_FILENO); error != 0) {
      throwSystemError(error, "posix_spawn_file_actions_addinherit_np");
    }
#else
    duplicate(STDIN_FILENO, STDIN_FILENO);  // the same number: inherited as it is
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    if (const int error = ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1); error != 0) {
      throwSystemError(error, "posix_spawn_file_actions_addclosefrom_np");
    }
#endif
#endif
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
};

class SpawnAttributes {
 public:
  SpawnAttributes() {
    if (const int error = ::posix_spawnattr_init(&attributes_); error != 0) {
      throwSystemError(error, "posix_spawnattr_init");
    }
  }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  SpawnAttributes(SpawnAttributes&&) = delete;
  SpawnAttributes& operator=(SpawnAttributes&&) = delete;

  // The helper ignores SIGPIPE, and ignored signals stay ignored across exec (as does a SIGCHLD
  // that whoever started the helper left ignored). The tools expect the ordinary dispositions and
  // an empty signal mask, so both are reset in the child.
  // On macOS the child also starts with every descriptor closed unless named in the file actions.
  // The child leads a process group of its own, so that a tool stopped at its limit takes along
  // whatever it started (the notifier's launcher starts sudo, which starts the script runner).
  void configure() {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    check(::posix_spawnattr_setsigdefault(&attributes_, &defaults), "posix_spawnattr_setsigdefault");
    check(::posix_spawnattr_setsigmask(&attributes_, &emptyMask), "posix_spawnattr_setsigmask");
    check(::posix_spawnattr_setpgroup(&attributes_, 0), "posix_spawnattr_setpgroup");
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP;
#if defined(__APPLE__)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    check(::posix_spawnattr_setflags(&attributes_, flags), "posix_spawnattr_setflags");
  }
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  static void check(int error, const char* call) {
    if (error != 0) throwSystemError(error, call);
  }
  posix_spawnattr_t attributes_{};
};

}  // namespace

OutputPipe makeOutputPipe() {
  // One way on every platform (macOS has no pipe2), so that the code a Mac runs is the code the
  // tests here run. The helper is single-threaded: no spawn can happen between pipe and fcntl.
  int fds[2];
  if (::pipe(fds) != 0) throwSystemError("pipe");
  OutputPipe result{UniqueFd(fds[0]), UniqueFd(fds[1])};
  for (const int fd : fds) {
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) throwSystemError("fcntl FD_CLOEXEC");
  }
  result.readEnd = aboveStandardStreams(std::move(result.readEnd));
  result.writeEnd = aboveStandardStreams(std::move(result.writeEnd));
  return result;
}

UniqueFd openDiscardedOutput() {
  UniqueFd nowhere(retryOnInterrupt([] { return ::open("/dev/null", O_WRONLY | O_CLOEXEC); }));
  if (!nowhere) throwSystemError("open /dev/null");
  return aboveStandardStreams(std::move(nowhere));
}

pid_t spawnTool(const std::string& executable, const std::vector<std::string>& arguments, int outputFd) {
  SpawnActions actions;
  actions.duplicate(outputFd, STDOUT_FILENO);
  actions.duplicate(outputFd, STDERR_FILENO);
  actions.keepOnlyStandardStreams();
  SpawnAttributes attributes;
  attributes.configure();

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(), argv.data(), environ);
  if (error != 0) throwSystemError(error, "posix_spawn " + executable);
  return pid;
}

}  // namespace vellorin
