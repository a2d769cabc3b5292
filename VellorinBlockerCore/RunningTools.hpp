// The one owner of every tool the helper has started and not yet reaped (the run being waited for,
// the runs in the background, the killed tools the kernel has not let go), and of every signal
// disposition of the helper: the handlers that take the tools along when the helper is stopped,
// and the last guard of a daemon pass.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vellorin {

class RunningTools {
 public:
  RunningTools() = delete;

  // ---- Signals

  // Run once at start, before any tool: whatever the parent left (execve keeps ignored signals and
  // the signal mask), SIGCHLD and every signal the helper handles get their own disposition and are
  // unblocked. SIGPIPE is ignored (a reader that goes away makes a write fail with EPIPE instead of
  // ending the helper); SIGTERM, SIGINT and SIGHUP kill the groups of every tool first, then end
  // the helper as the signal would have; SIGALRM is the pass guard's. Throws std::system_error.
  static void takeOverSignals();

  // Arms the last guard of a daemon pass: once `limit` has passed, the helper writes "A pass of the
  // helper daemon ran longer than N seconds while STEP; the daemon exits so that a fresh one
  // starts." on standard error, kills its tools and exits with status 1. `step` is a text that
  // lives for the whole process (a literal), naming what the pass is doing.
  static void guardPass(std::chrono::seconds limit, const char* step);
  // Names the step the pass has come to, for the guard's message.
  static void noteStep(const char* step);
  static void unguardPass();

  // Kills the groups of every tool the helper has started and not yet reaped. Async-signal-safe.
  static void killAll();

  // ---- The run being waited for

  // A started tool, registered before any handled signal can be delivered, and reaped at most once.
  // If it goes away unreaped (a failed read, an exception), the tool and its group are killed.
  class Foreground {
   public:
    // Starts the tool (see spawnTool) with `outputFd` as its output. Throws std::system_error when
    // it cannot be started, std::runtime_error when every place for a tool is taken by tools the
    // kernel has not let go.
    Foreground(const std::string& executable, const std::vector<std::string>& arguments, int outputFd);
    ~Foreground();
    Foreground(const Foreground&) = delete;
    Foreground& operator=(const Foreground&) = delete;
    Foreground(Foreground&&) = delete;
    Foreground& operator=(Foreground&&) = delete;

    // The exit status if the tool has ended by now (its status, or 128 + the signal that ended
    // it), otherwise nothing. Throws std::system_error when the tool's end cannot be observed
    // (it was reaped by someone else), which no status may stand for.
    std::optional<int> exitStatusIfEnded();
    // Blocks until the tool has ended; its status as above.
    int waitForExit();
    // Ends the tool and its group by force. One that SIGKILL does not end within
    // limits::killedToolWait is left registered, for reapBackground to reap once it has gone.
    void kill();

   private:
    int reap();

    const std::string executable_;
    size_t slot_ = 0;
    pid_t pid_ = 0;
    bool reaped_ = false;
    int status_ = 128;
  };

  // ---- Runs in the background

  // Starts the tool with its output discarded and returns at once. It is reaped by reapBackground
  // once it has ended, and killed with its group once `limit` has passed. Throws std::system_error
  // when it cannot be started, std::runtime_error when limits::backgroundRunCapacity runs are
  // under way already.
  static void startInBackground(const std::string& executable, const std::vector<std::string>& arguments,
                                std::chrono::milliseconds limit);
  // Reaps the background runs and killed tools that have ended, with what is left of their groups,
  // and kills the runs past their limit. Never blocks.
  static void reapBackground();
  // Waits for every background run to end, each at most until its limit and then
  // limits::killedToolWait more; what is still there is killed and left.
  static void finishBackground();
  // Runs in the background, and killed tools not yet let go.
  static size_t backgroundCount();
};

}  // namespace vellorin
