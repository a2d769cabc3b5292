// The locks that keep helper processes from stepping on each other: their names, their order,
// how long each is waited for, and the session hold of this process.
#pragma once

#include <chrono>
#include <memory>

#include "VellorinBlockerCore/FileSystem.hpp"
#include "VellorinBlockerCore/HelperPaths.hpp"
#include "VellorinBlockerCore/PassBudget.hpp"

namespace vellorin {

// Each lock is a file in the state directory, which only root can write, held until the returned
// descriptor (or hold) goes away. Where locks nest, the queue's comes before the session's. A wait
// lasts at most limits::lockWait, and within a daemon pass no longer than the pass has left; one
// that ends without the lock fails with LockTimeoutError. A lock file that is not root's (see
// FileSystem::lockFile) is refused.
class HelperLocks {
 public:
  HelperLocks(HelperPaths paths, std::shared_ptr<FileSystem> fileManager, std::shared_ptr<const PassBudget> passBudget);

  // Serializes every read-decide-write of the stored session and of the event log. The first hold
  // of this process takes the lock, the last one to go releases it: a restore within an
  // enforcement, or an append within a termination, holds it already.
  class SessionHold {
   public:
    explicit SessionHold(HelperLocks& locks);
    ~SessionHold();
    SessionHold(const SessionHold&) = delete;
    SessionHold& operator=(const SessionHold&) = delete;
    SessionHold(SessionHold&&) = delete;
    SessionHold& operator=(SessionHold&&) = delete;

   private:
    HelperLocks& locks_;
  };

  // Keeps two helper processes from answering one request twice. Empty when this process cannot
  // create it: an unprivileged run outside dry-run mode may not write the state directory (and
  // can change nothing anyway), and a full disk must not stop the queue, so the requests are then
  // answered without it.
  UniqueFd lockCommandQueue() const;

  // Held by the one daemon that enforces. Without `untilFree`, one try: LockTimeoutError while
  // another daemon holds it.
  enum class DaemonWait { oneTry, untilFree };
  UniqueFd lockDaemon(DaemonWait wait) const;

 private:
  UniqueFd lockStateFile(const char* name, std::chrono::milliseconds wait) const;
  std::chrono::milliseconds waitWithinPass() const;

  HelperPaths paths_;
  std::shared_ptr<FileSystem> fileManager_;
  std::shared_ptr<const PassBudget> passBudget_;
  UniqueFd sessionLock_;
  int sessionHolds_ = 0;
};

}  // namespace vellorin
