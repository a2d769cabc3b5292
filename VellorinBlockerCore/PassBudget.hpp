// The time a daemon pass has: one deadline for the whole pass, which every tool run and lock wait
// inside it keeps to.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "VellorinBlockerCore/CommandRunner.hpp"

namespace vellorin {

class PassBudget {
 public:
  using Clock = std::chrono::steady_clock;

  // A pass begins that must be done `length` from now; until end(), every limit is cut to the time
  // it has left.
  void begin(std::chrono::milliseconds length);
  void end();

  // Time since the pass began; zero outside a pass.
  std::chrono::milliseconds elapsed() const;
  // True once the deadline of the pass under way has passed; never outside a pass.
  bool deadlinePassed() const;
  // The smaller of `limit` and the time the pass has left (zero once its deadline has passed);
  // outside a pass, `limit` itself.
  std::chrono::milliseconds within(std::chrono::milliseconds limit) const;
  // The length of the pass under way.
  std::chrono::milliseconds length() const { return length_; }

 private:
  std::optional<Clock::time_point> started_;
  std::chrono::milliseconds length_{0};
};

// A run that the deadline of the daemon pass under way refused or cut short: "<tool> was not
// started: the daemon pass reached its <n>-second deadline", or "<tool> was stopped: …". It
// counts as a time-out, so a signal round ends at it.
class PassDeadlineError : public ToolTimeoutError {
 public:
  enum class When { beforeStart, whileRunning };
  PassDeadlineError(const std::string& executable, std::chrono::milliseconds passLength, When when);
};

// Wraps a runner so that, within a pass, each run's limit is cut to the time the pass has left and
// no run starts once its deadline has passed; a run stopped at the deadline rather than at its own
// limit fails with PassDeadlineError too. Background runs are not waited
// for and keep their own limit. Outside a pass every call goes to `runner` unchanged.
ProcessRunner withinPassBudget(ProcessRunner runner, std::shared_ptr<const PassBudget> budget);

}  // namespace vellorin
