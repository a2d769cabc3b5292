// The external command runner: posix_spawn by absolute path, one pipe for both output streams.
#include "VellorinBlockerCore/CommandRunner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <system_error>
#include <thread>
#include <utility>

#include "VellorinBlockerCore/Models.hpp"
#include "VellorinBlockerCore/SystemCalls.hpp"
#include "VellorinBlockerCore/Text.hpp"

// POSIX's process environment, which macOS's unistd.h does not declare.
extern char** environ;  // NOLINT(readability-redundant-declaration,cppcoreguidelines-avoid-non-const-global-variables)

namespace vellorin {
namespace {

using Clock = std::chrono::steady_clock;

// The group of the tool being waited for; read by a signal handler (see runningToolGroup).
volatile std::sig_atomic_t runningGroup = 0;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// Moves a descriptor above the standard streams. A helper started with a closed standard stream
// could otherwise get its pipe end as descriptor 1 or 2, and the child's dup2 onto the same number
// would then leave the close-on-exec flag set and the child without an output.
UniqueFd aboveStandardStreams(UniqueFd fd) {
  if (fd.get() > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) throwSystemError("fcntl F_DUPFD_CLOEXEC");
  return UniqueFd(moved);
}

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

// Both ends are close-on-exec: the child gets the write end only through the dup2 onto its
// standard output and standard error, and nothing else of the helper's.
Pipe makeOutputPipe() {
  // One way on every platform (macOS has no pipe2), so that the code a Mac runs is the code the
  // tests here run. The helper is single-threaded: no spawn can happen between pipe and fcntl.
  int fds[2];
  if (::pipe(fds) != 0) throwSystemError("pipe");
  Pipe result{UniqueFd(fds[0]), UniqueFd(fds[1])};
  for (const int fd : fds) {
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) throwSystemError("fcntl FD_CLOEXEC");
  }
  result.readEnd = aboveStandardStreams(std::move(result.readEnd));
  result.writeEnd = aboveStandardStreams(std::move(result.writeEnd));
  return result;
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

  // The helper ignores SIGPIPE, and ignored signals stay ignored across exec. The tools expect
  // the ordinary dispositions and an empty signal mask, so both are reset in the child.
  // On macOS the child also starts with every descriptor closed unless named in the file actions.
  // The child leads a process group of its own, so that a tool stopped at its limit takes along
  // whatever it started (the notifier's launcher starts sudo, which starts the script runner).
  void configure() {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
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

// Kills the child and every process of its group. Until the child is reaped its identifier, which
// is also its group's, cannot be reused, so the signals can only reach what the child started.
void killChildAndGroup(pid_t pid) {
  signalProcessGroup(pid, SIGKILL);
  signalProcess(pid, SIGKILL);  // in case it has left its group
}

// A started child that is reaped exactly once. If its owner goes away before waiting (a failed
// read, an exception), the child and its group are killed and the child reaped, so that no zombie
// is left behind. Once it is reaped, nothing is signalled or waited for again.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ChildProcess(ChildProcess&&) = delete;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess() {
    if (reaped_) return;
    killChildAndGroup(pid_);
    int status = 0;
    retryOnInterrupt([&] { return ::waitpid(pid_, &status, 0); });
  }

  pid_t pid() const { return pid_; }
  // Hands the child over to whoever reaps it from now on.
  pid_t release() {
    reaped_ = true;
    return pid_;
  }

  // Blocks until the child has exited; returns its exit status, or 128 + the signal number for a
  // child ended by a signal.
  int wait() { return reap(0).value(); }

  // The status if the child has exited by now, otherwise nothing.
  std::optional<int> poll() { return reap(WNOHANG); }

  // Ends the child and its group by force and reaps the child.
  int kill() {
    if (!reaped_) killChildAndGroup(pid_);
    return wait();
  }

 private:
  std::optional<int> reap(int options) {
    if (reaped_) return status_;
    int status = 0;
    const pid_t result = retryOnInterrupt([&] { return ::waitpid(pid_, &status, options); });
    if (result == 0) return std::nullopt;
    reaped_ = true;  // Either way there is nothing left to reap (ECHILD: someone else collected it).
    if (result < 0) throwSystemError("waitpid");
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 128;
    return status_;
  }

  const pid_t pid_;
  bool reaped_ = false;
  std::optional<int> status_;
};

ChildProcess spawnChild(const std::string& executable, const std::vector<std::string>& arguments, int outputFd) {
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
  return ChildProcess(pid);
}

// Marks the child's group as the one being waited for, for as long as the wait lasts.
class RunningGroupMark {
 public:
  explicit RunningGroupMark(pid_t group) { runningGroup = static_cast<std::sig_atomic_t>(group); }
  ~RunningGroupMark() { runningGroup = 0; }
  RunningGroupMark(const RunningGroupMark&) = delete;
  RunningGroupMark& operator=(const RunningGroupMark&) = delete;
  RunningGroupMark(RunningGroupMark&&) = delete;
  RunningGroupMark& operator=(RunningGroupMark&&) = delete;
};

// The runs started in the background and not yet reaped. The helper is single-threaded.
struct BackgroundRun {
  pid_t pid;
  Clock::time_point deadline;
};
std::vector<BackgroundRun>& backgroundRuns() {
  static std::vector<BackgroundRun> runs;
  return runs;
}

// True when the run has ended and is reaped (killed with its group first if `stop`).
bool reapBackgroundRun(const BackgroundRun& run, bool stop) {
  if (stop) killChildAndGroup(run.pid);
  int status = 0;
  const pid_t result = retryOnInterrupt([&] { return ::waitpid(run.pid, &status, stop ? 0 : WNOHANG); });
  return result != 0;  // reaped, or not ours to reap any more (ECHILD)
}

void startInBackground(const std::string& executable, const std::vector<std::string>& arguments,
                       const RunOptions& options) {
  UniqueFd nowhere(retryOnInterrupt([] { return ::open("/dev/null", O_WRONLY | O_CLOEXEC); }));
  if (!nowhere) throwSystemError("open /dev/null");
  const UniqueFd output = aboveStandardStreams(std::move(nowhere));
  const pid_t pid = spawnChild(executable, arguments, output.get()).release();
  backgroundRuns().push_back({pid, Clock::now() + options.timeLimit.value_or(std::chrono::seconds(5))});
}

// Milliseconds left until the deadline, for poll(): -1 without a deadline, 0 once it has passed.
int pollTimeout(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), 60'000));
}

// Reads the pipe until end of file; false when the deadline passed first.
bool readToEnd(int fd, std::string& bytes, const std::optional<Clock::time_point>& deadline) {
  char buffer[16384];
  for (;;) {
    if (deadline) {
      pollfd entry{fd, POLLIN, 0};
      const int timeout = pollTimeout(deadline);
      const int ready = retryOnInterrupt([&] { return ::poll(&entry, 1, timeout); });
      if (ready < 0) throwSystemError("poll");
      if (ready == 0) {
        if (Clock::now() >= *deadline) return false;
        continue;
      }
    }
    const ssize_t count = retryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
    if (count < 0) throwSystemError("read");
    if (count == 0) return true;
    bytes.append(buffer, static_cast<size_t>(count));
  }
}

// "5 seconds", "1 second", "0.5 seconds".
std::string formatSeconds(std::chrono::milliseconds duration) {
  const auto count = static_cast<int>(duration.count());  // a limit of seconds, far below INT_MAX
  if (count == 1000) return "1 second";
  if (count % 1000 == 0) return std::to_string(count / 1000) + " seconds";
  return std::to_string(count / 1000) + "." + std::to_string(count % 1000 / 100) + " seconds";
}

// Waits for the child to exit; nothing when the deadline passed first. A child may close its
// output and keep running, so the wait is bounded too when there is a time limit.
std::optional<int> waitForExit(ChildProcess& child, const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return child.wait();
  for (;;) {
    if (const auto status = child.poll()) return status;
    if (Clock::now() >= *deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

std::string runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                       const RunOptions& options) {
  // Checked before spawning rather than inferred from the child: a C library that reports a failed
  // exec only through exit status 127 would otherwise make a missing tool look like a tool that
  // ran and failed.
  if (::access(executable.c_str(), F_OK) != 0) throwSystemError("posix_spawn " + executable);
  if (options.background) {
    reapBackgroundProcesses();
    startInBackground(executable, arguments, options);
    return {};
  }

  std::optional<Clock::time_point> deadline;
  if (options.timeLimit) deadline = Clock::now() + *options.timeLimit;

  Pipe pipe = makeOutputPipe();
  ChildProcess child = spawnChild(executable, arguments, pipe.writeEnd.get());
  pipe.writeEnd.reset();  // Otherwise our own copy keeps the pipe open and the read never ends.
  const RunningGroupMark mark(child.pid());

  std::string bytes;
  std::optional<int> status;
  if (readToEnd(pipe.readEnd.get(), bytes, deadline)) status = waitForExit(child, deadline);
  if (!status) {
    child.kill();
    throw ToolTimeoutError(executable, *options.timeLimit);
  }
  return outputUnderPolicy(std::move(bytes), *status, options);
}

ToolTimeoutError::ToolTimeoutError(const std::string& executable, std::chrono::milliseconds timeLimit)
    : std::runtime_error(executable + " did not finish within " + formatSeconds(timeLimit) + " and was stopped") {}

void reapBackgroundProcesses() {
  const auto now = Clock::now();
  std::erase_if(backgroundRuns(), [&](const BackgroundRun& run) { return reapBackgroundRun(run, now >= run.deadline); });
}

void finishBackgroundProcesses() {
  for (const auto& run : backgroundRuns()) {
    while (!reapBackgroundRun(run, Clock::now() >= run.deadline)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  backgroundRuns().clear();
}

pid_t runningToolGroup() { return static_cast<pid_t>(runningGroup); }

std::string outputUnderPolicy(std::string bytes, int exitStatus, const RunOptions& options) {
  if (exitStatus != 0 && !options.allowFailure) {
    throw HelperCommandError::commandFailed(decodedOutput(std::move(bytes)));
  }
  return bytes;
}

std::string decodedOutput(std::string bytes) { return isValidUtf8(bytes) ? std::move(bytes) : std::string(); }

}  // namespace vellorin
