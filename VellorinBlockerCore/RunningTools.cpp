// The tools the helper has started and not yet reaped, and every signal handler of the helper.
#include "VellorinBlockerCore/RunningTools.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "VellorinBlockerCore/Limits.hpp"
#include "VellorinBlockerCore/SystemCalls.hpp"
#include "VellorinBlockerCore/ToolSpawn.hpp"

namespace vellorin {
namespace {

using Clock = std::chrono::steady_clock;

// What a place in the table holds. A foreground run that SIGKILL does not end at once stays in its
// place as a leftover, so a killed tool never goes unreaped for want of room.
enum Use : std::sig_atomic_t { unused = 0, foreground, background, leftover };

// Room for every background run, a leftover for each, and the run being waited for.
constexpr size_t placeCount = 2 * limits::backgroundRunCapacity + 1;

// The table, read by the signal handlers. A group's identifier is its leader's, which cannot be
// reused before the leader is reaped; a place is cleared before its leader is reaped, and filled
// while the handled signals are blocked, so a handler never misses a tool nor signals a stranger.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables,cppcoreguidelines-avoid-c-arrays)
volatile std::sig_atomic_t placePids[placeCount] = {};
volatile std::sig_atomic_t placeUses[placeCount] = {};
Clock::rep placeDeadlines[placeCount] = {};  // background runs only, in ticks of Clock since its epoch
volatile std::sig_atomic_t guardSeconds = 0;
std::atomic<const char*> guardStep{""};
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables,cppcoreguidelines-avoid-c-arrays)
static_assert(std::atomic<const char*>::is_always_lock_free, "the guard's handler reads the step");

Clock::time_point deadlineOf(size_t place) { return Clock::time_point(Clock::duration(placeDeadlines[place])); }

// The signals whose handlers read the table: blocked while a place is filled.
sigset_t handledSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGALRM}) sigaddset(&set, signal);
  return set;
}

class HandledSignalsBlocked {
 public:
  HandledSignalsBlocked() {
    const sigset_t handled = handledSignals();
    ::sigprocmask(SIG_BLOCK, &handled, &previous_);
  }
  ~HandledSignalsBlocked() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  HandledSignalsBlocked(const HandledSignalsBlocked&) = delete;
  HandledSignalsBlocked& operator=(const HandledSignalsBlocked&) = delete;
  HandledSignalsBlocked(HandledSignalsBlocked&&) = delete;
  HandledSignalsBlocked& operator=(HandledSignalsBlocked&&) = delete;

 private:
  sigset_t previous_{};
};

// Takes a free place for a tool about to start; fails when there is none.
size_t takePlace(Use use, const std::string& executable) {
  for (size_t place = 0; place < placeCount; ++place) {
    if (placeUses[place] != unused) continue;
    placeUses[place] = use;
    return place;
  }
  throw std::runtime_error(executable + " was not started: " + std::to_string(placeCount) +
                           " tools it killed have not ended yet");
}

void clearPlace(size_t place) {
  placePids[place] = 0;
  placeUses[place] = unused;
}

// Starts the tool into the place, with the handled signals blocked from the spawn until the place
// names it.
pid_t startIn(size_t place, const std::string& executable, const std::vector<std::string>& arguments, int outputFd) {
  try {
    const pid_t pid = spawnTool(executable, arguments, outputFd);
    placePids[place] = static_cast<std::sig_atomic_t>(pid);
    return pid;
  } catch (...) {
    clearPlace(place);
    throw;
  }
}

// Kills the child and every process of its group; only for a child not yet reaped.
void killChildAndGroup(pid_t pid) {
  signalProcessGroup(pid, SIGKILL);
  signalProcess(pid, SIGKILL);  // in case it has left its group
}

enum class Waiting { block, dontBlock };
enum class Ending { running, ended, notOurs };

// Whether the child has ended, leaving it unreaped so that its identifier stays ours. A child that
// is not ours to wait for (someone reaped it) is never signalled again.
Ending ending(pid_t pid, Waiting waiting) {
  siginfo_t info{};
  const int options = WEXITED | WNOWAIT | (waiting == Waiting::dontBlock ? WNOHANG : 0);
  if (retryOnInterrupt([&] { return ::waitid(P_PID, static_cast<id_t>(pid), &info, options); }) != 0) {
    return Ending::notOurs;
  }
  if (info.si_pid != pid) return Ending::running;
  // Some macOS releases are reported to answer with a stopped child here: only an end counts.
  const bool ended = info.si_code == CLD_EXITED || info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
  return ended ? Ending::ended : Ending::running;
}

// Reaps a child that has ended; its exit status, or 128 + the signal number of one ended by a signal.
int reapEnded(pid_t pid) {
  int status = 0;
  if (retryOnInterrupt([&] { return ::waitpid(pid, &status, 0); }) < 0) return 128;
  return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 128;
}

// The place's tool once it has ended, with what is left of its group; a background run past its
// limit is killed, and reaped by a later call once the kernel has let it go.
void reapPlace(size_t place, Clock::time_point now) {
  const auto pid = static_cast<pid_t>(placePids[place]);
  const auto use = placeUses[place];
  if (pid == 0 || (use != background && use != leftover)) return;
  switch (ending(pid, Waiting::dontBlock)) {
    case Ending::ended:
      signalProcessGroup(pid, SIGKILL);  // what it started and left behind
      clearPlace(place);
      (void)reapEnded(pid);
      break;
    case Ending::notOurs:
      clearPlace(place);
      break;
    case Ending::running:
      if (use == background && now >= deadlineOf(place)) killChildAndGroup(pid);
      break;
  }
}

// Writes a text from a signal handler.
void writeRaw(std::string_view text) {
  const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
  (void)written;  // nowhere left to report a failed write
}

// A helper told to stop takes its tools along: each leads a group of its own, which the service
// manager's clean-up of the helper's group, or a terminal's interrupt, does not reach.
extern "C" void stopWithRunningTools(int signal) {
  RunningTools::killAll();
  (void)std::signal(signal, SIG_DFL);
  (void)std::raise(signal);
}

// Ends a daemon whose pass has run too long, so that its service manager starts a fresh one. Only
// async-signal-safe calls: the tools it started go with it, and every file the helper writes is
// replaced in one step, so nothing is left half-written.
extern "C" void endOverlongPass(int /*signal*/) {
  char digits[12];
  size_t length = 0;
  for (auto seconds = static_cast<unsigned>(guardSeconds); length == 0 || seconds > 0; seconds /= 10) {
    digits[length++] = static_cast<char>('0' + seconds % 10);
  }
  std::reverse(digits, digits + length);
  writeRaw("A pass of the helper daemon ran longer than ");
  writeRaw(std::string_view(digits, length));
  writeRaw(" seconds while ");
  const char* step = guardStep.load();
  writeRaw(std::string_view(step, std::strlen(step)));
  writeRaw("; the daemon exits so that a fresh one starts.\n");
  RunningTools::killAll();
  ::_exit(1);
}

void setHandler(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_mask = handledSignals();  // one handler at a time
  if (::sigaction(signal, &action, nullptr) != 0) throwSystemError("sigaction");
}

}  // namespace

void RunningTools::takeOverSignals() {
  sigset_t reliedOn = handledSignals();
  sigaddset(&reliedOn, SIGCHLD);  // ignored, it would have the kernel reap every tool before its end is seen
  sigaddset(&reliedOn, SIGPIPE);
  if (::sigprocmask(SIG_UNBLOCK, &reliedOn, nullptr) != 0) throwSystemError("sigprocmask");
  setHandler(SIGCHLD, SIG_DFL);
  setHandler(SIGPIPE, SIG_IGN);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) setHandler(signal, stopWithRunningTools);
  setHandler(SIGALRM, endOverlongPass);
}

void RunningTools::guardPass(std::chrono::seconds limit, const char* step) {
  noteStep(step);
  guardSeconds = static_cast<std::sig_atomic_t>(limit.count());
  ::alarm(static_cast<unsigned>(limit.count()));
}

void RunningTools::noteStep(const char* step) { guardStep.store(step); }

void RunningTools::unguardPass() { ::alarm(0); }

void RunningTools::killAll() {
  for (const std::sig_atomic_t pid : placePids) {
    if (pid != 0) killChildAndGroup(static_cast<pid_t>(pid));
  }
}

RunningTools::Foreground::Foreground(const std::string& executable, const std::vector<std::string>& arguments,
                                     int outputFd)
    : executable_(executable) {
  // Both under one block of the handled signals: the place names the tool before any handler runs.
  const HandledSignalsBlocked blocked;
  slot_ = takePlace(foreground, executable);               // NOLINT(cppcoreguidelines-prefer-member-initializer)
  pid_ = startIn(slot_, executable, arguments, outputFd);  // NOLINT(cppcoreguidelines-prefer-member-initializer)
}

RunningTools::Foreground::~Foreground() {
  if (!reaped_) kill();
}

std::optional<int> RunningTools::Foreground::exitStatusIfEnded() {
  if (reaped_) return status_;
  switch (ending(pid_, Waiting::dontBlock)) {
    case Ending::running:
      return std::nullopt;
    case Ending::ended:
      return reap();
    case Ending::notOurs:
      break;
  }
  clearPlace(slot_);
  reaped_ = true;
  throwSystemError(ECHILD, "waitid " + executable_);
}

int RunningTools::Foreground::waitForExit() {
  while (!reaped_) {
    if (const auto status = exitStatusIfEnded()) return *status;
    // Blocks until the child changes state; a stopped child is waited past.
    if (ending(pid_, Waiting::block) == Ending::running) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

void RunningTools::Foreground::kill() {
  if (reaped_) return;
  killChildAndGroup(pid_);
  const auto giveUp = Clock::now() + limits::killedToolWait;
  Ending state = ending(pid_, Waiting::dontBlock);
  while (state == Ending::running && Clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    state = ending(pid_, Waiting::dontBlock);
  }
  if (state == Ending::ended) {
    (void)reap();
    return;
  }
  if (state == Ending::notOurs) {
    clearPlace(slot_);
  } else {
    placeUses[slot_] = leftover;  // held up in the kernel: from now on reapBackground's
  }
  reaped_ = true;
}

int RunningTools::Foreground::reap() {
  clearPlace(slot_);
  reaped_ = true;
  status_ = reapEnded(pid_);
  return status_;
}

void RunningTools::startInBackground(const std::string& executable, const std::vector<std::string>& arguments,
                                     std::chrono::milliseconds limit) {
  const auto running = std::count_if(std::begin(placeUses), std::end(placeUses),
                                     [](std::sig_atomic_t use) { return use == background; });
  if (static_cast<size_t>(running) >= limits::backgroundRunCapacity) {
    throw std::runtime_error(executable + " was not started: " + std::to_string(limits::backgroundRunCapacity) +
                             " runs are still under way in the background");
  }
  const UniqueFd output = openDiscardedOutput();
  const HandledSignalsBlocked blocked;
  const size_t place = takePlace(background, executable);
  placeDeadlines[place] = (Clock::now() + limit).time_since_epoch().count();
  (void)startIn(place, executable, arguments, output.get());
}

void RunningTools::reapBackground() {
  const auto now = Clock::now();
  for (size_t place = 0; place < placeCount; ++place) reapPlace(place, now);
}

void RunningTools::finishBackground() {
  Clock::time_point last = Clock::now();
  for (size_t place = 0; place < placeCount; ++place) {
    if (placeUses[place] == background) last = std::max(last, deadlineOf(place));
  }
  const auto giveUp = last + limits::killedToolWait;
  while (backgroundCount() > 0 && Clock::now() < giveUp) {
    reapBackground();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

size_t RunningTools::backgroundCount() {
  return static_cast<size_t>(std::count_if(std::begin(placeUses), std::end(placeUses),
                                           [](std::sig_atomic_t use) { return use == background || use == leftover; }));
}

}  // namespace vellorin
