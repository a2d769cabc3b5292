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
#include <iterator>
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

// The groups of the tools the helper started and has not reaped yet, read by signal handlers (see
// killRunningTools): the one being waited for, and those running in the background. A group's
// identifier is its leader's, which cannot be reused before the leader is reaped; each is cleared
// before its leader is.
volatile std::sig_atomic_t runningGroup = 0;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
constexpr size_t backgroundCapacity = 16;
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables,cppcoreguidelines-avoid-c-arrays)
volatile std::sig_atomic_t backgroundGroups[backgroundCapacity] = {};
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables,cppcoreguidelines-avoid-c-arrays)
Clock::rep backgroundDeadlines[backgroundCapacity] = {};  // in ticks of Clock since its epoch
Clock::time_point deadlineAt(size_t i) { return Clock::time_point(Clock::duration(backgroundDeadlines[i])); }

// Kills the child and every process of its group; only for a child not yet reaped.
void killChildAndGroup(pid_t pid) {
  signalProcessGroup(pid, SIGKILL);
  signalProcess(pid, SIGKILL);  // in case it has left its group
}

// True once the child has exited (or is no child of ours to wait for), leaving it unreaped so that
// its identifier stays ours; with `block`, waits for that.
bool hasExited(pid_t pid, bool block) {
  siginfo_t info{};
  const int result =
      retryOnInterrupt([&] { return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | (block ? 0 : WNOHANG)); });
  if (result != 0) return errno == ECHILD;
  return info.si_pid == pid;
}

// Reaps a child that has exited; its exit status, or 128 + the signal number of one ended by a signal.
int reapExited(pid_t pid) {
  int status = 0;
  if (retryOnInterrupt([&] { return ::waitpid(pid, &status, 0); }) < 0) return 128;
  return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 128;
}

// Takes a child that may outlive its run (killed, but held up in the kernel) for later reaping;
// false when every place is taken.
bool keepForLaterReaping(pid_t pid, Clock::time_point deadline) {
  for (size_t i = 0; i < backgroundCapacity; ++i) {
    if (backgroundGroups[i] != 0) continue;
    backgroundDeadlines[i] = deadline.time_since_epoch().count();
    backgroundGroups[i] = static_cast<std::sig_atomic_t>(pid);
    return true;
  }
  return false;
}

// A started child, marked as the tool being waited for, that is reaped at most once. If its owner
// goes away before waiting (a failed read, an exception), the child and its group are killed.
// Once it is reaped, nothing is signalled or waited for again.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) { runningGroup = static_cast<std::sig_atomic_t>(pid); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ChildProcess(ChildProcess&&) = delete;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess() {
    if (!reaped_) kill();
  }

  // Blocks until the child has exited; returns its exit status (see reapExited).
  int wait() {
    if (!reaped_) hasExited(pid_, true);
    return reap();
  }

  // The status if the child has exited by now, otherwise nothing.
  std::optional<int> poll() {
    if (!reaped_ && !hasExited(pid_, false)) return std::nullopt;
    return reap();
  }

  // Ends the child and its group by force. A child that SIGKILL does not end within a second (held
  // up in the kernel) is left for reapBackgroundProcesses rather than waited for.
  void kill() {
    if (reaped_) return;
    killChildAndGroup(pid_);
    for (int tries = 0; tries < 200; ++tries) {
      if (poll()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    runningGroup = 0;
    reaped_ = true;  // from now on the background list's
    (void)keepForLaterReaping(pid_, Clock::now());
  }

 private:
  int reap() {
    if (reaped_) return status_;
    runningGroup = 0;
    reaped_ = true;
    status_ = reapExited(pid_);
    return status_;
  }

  const pid_t pid_;
  bool reaped_ = false;
  int status_ = 128;
};

pid_t spawnChild(const std::string& executable, const std::vector<std::string>& arguments, int outputFd) {
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

// Reaps the background run in place `i` once it has ended, with what is left of its group, or kills
// it once its deadline has passed. Never blocks.
void reapBackgroundRun(size_t i, Clock::time_point now) {
  const auto pid = static_cast<pid_t>(backgroundGroups[i]);
  if (pid == 0) return;
  if (hasExited(pid, false)) {
    signalProcessGroup(pid, SIGKILL);  // what it started and left behind
    backgroundGroups[i] = 0;
    (void)reapExited(pid);
  } else if (now >= deadlineAt(i)) {
    killChildAndGroup(pid);  // reaped by a later call, once the kernel has let it go
  }
}

void startInBackground(const std::string& executable, const std::vector<std::string>& arguments,
                       const RunOptions& options) {
  if (std::none_of(std::begin(backgroundGroups), std::end(backgroundGroups), [](std::sig_atomic_t group) { return group == 0; })) {
    throw std::runtime_error(executable + " was not started: " + std::to_string(backgroundCapacity) +
                             " runs are still under way in the background");
  }
  UniqueFd nowhere(retryOnInterrupt([] { return ::open("/dev/null", O_WRONLY | O_CLOEXEC); }));
  if (!nowhere) throwSystemError("open /dev/null");
  const UniqueFd output = aboveStandardStreams(std::move(nowhere));
  const pid_t pid = spawnChild(executable, arguments, output.get());
  (void)keepForLaterReaping(pid, Clock::now() + options.timeLimit.value_or(std::chrono::seconds(5)));
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
  // A tool that has closed its output is usually gone a moment later: short pauses at first.
  auto pause = std::chrono::microseconds(100);
  for (;;) {
    if (const auto status = child.poll()) return status;
    if (Clock::now() >= *deadline) return std::nullopt;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(5000));
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
  ChildProcess child(spawnChild(executable, arguments, pipe.writeEnd.get()));
  pipe.writeEnd.reset();  // Otherwise our own copy keeps the pipe open and the read never ends.

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
  for (size_t i = 0; i < backgroundCapacity; ++i) reapBackgroundRun(i, now);
}

void finishBackgroundProcesses() {
  // Each run until its deadline, then a second for the kernel to let a killed one go.
  Clock::time_point last = Clock::now();
  for (size_t i = 0; i < backgroundCapacity; ++i) {
    if (backgroundGroups[i] != 0) last = std::max(last, deadlineAt(i));
  }
  const auto giveUp = last + std::chrono::seconds(1);
  while (std::any_of(std::begin(backgroundGroups), std::end(backgroundGroups), [](std::sig_atomic_t group) { return group != 0; }) &&
         Clock::now() < giveUp) {
    reapBackgroundProcesses();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void killRunningTools() {
  signalProcessGroup(static_cast<pid_t>(runningGroup), SIGKILL);
  for (const std::sig_atomic_t group : backgroundGroups) signalProcessGroup(static_cast<pid_t>(group), SIGKILL);
}

namespace {

// A helper told to stop takes its tools along: each leads a group of its own, which the service
// manager's clean-up of the helper's group, or a terminal's interrupt, does not reach.
extern "C" void stopWithRunningTools(int signal) {
  killRunningTools();
  (void)std::signal(signal, SIG_DFL);
  (void)std::raise(signal);
}

}  // namespace

void stopToolsWhenStopped() {
  struct sigaction action {};
  action.sa_handler = stopWithRunningTools;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    if (::sigaction(signal, &action, nullptr) != 0) throwSystemError("sigaction");
  }
}

std::string outputUnderPolicy(std::string bytes, int exitStatus, const RunOptions& options) {
  if (exitStatus != 0 && !options.allowFailure) {
    throw HelperCommandError::commandFailed(decodedOutput(std::move(bytes)));
  }
  return bytes;
}

std::string decodedOutput(std::string bytes) { return isValidUtf8(bytes) ? std::move(bytes) : std::string(); }

}  // namespace vellorin
