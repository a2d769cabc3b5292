// The daemon pass's deadline, and the runner that keeps to it.
#include "VellorinBlockerCore/PassBudget.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace vellorin {

void PassBudget::begin(std::chrono::milliseconds length) {
  started_ = Clock::now();
  length_ = length;
}

void PassBudget::end() { started_.reset(); }

std::chrono::milliseconds PassBudget::elapsed() const {
  if (!started_) return std::chrono::milliseconds(0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *started_);
}

bool PassBudget::deadlinePassed() const { return started_ && Clock::now() >= *started_ + length_; }

std::chrono::milliseconds PassBudget::within(std::chrono::milliseconds limit) const {
  if (!started_) return limit;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*started_ + length_ - Clock::now());
  return std::clamp(left, std::chrono::milliseconds(0), limit);
}

PassDeadlineError::PassDeadlineError(const std::string& executable, std::chrono::milliseconds passLength, When when)
    : ToolTimeoutError(executable + (when == When::beforeStart ? " was not started" : " was stopped") +
                       ": the daemon pass reached its " + std::to_string(static_cast<int>(passLength.count() / 1000)) +
                       "-second deadline") {}

ProcessRunner withinPassBudget(ProcessRunner runner, std::shared_ptr<const PassBudget> budget) {
  return [runner = std::move(runner), budget = std::move(budget)](
             const std::string& executable, const std::vector<std::string>& arguments, const RunOptions& options) {
    if (options.mode == RunMode::background) return runner(executable, arguments, options);
    if (budget->deadlinePassed()) {
      throw PassDeadlineError(executable, budget->length(), PassDeadlineError::When::beforeStart);
    }
    const auto ownLimit = options.timeLimit.value_or(std::chrono::milliseconds::max());
    RunOptions cut = options;
    cut.timeLimit = budget->within(ownLimit);
    if (*cut.timeLimit == ownLimit) return runner(executable, arguments, options);
    try {
      return runner(executable, arguments, cut);
    } catch (const ToolTimeoutError&) {
      throw PassDeadlineError(executable, budget->length(), PassDeadlineError::When::whileRunning);
    }
  };
}

}  // namespace vellorin
