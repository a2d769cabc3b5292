// Every time limit and cap of the helper in one place, each with the reason for its value, and the
// sum that keeps a daemon pass inside its last guard. Other files name these; none repeats a value.
#pragma once

#include <chrono>
#include <cstddef>

namespace vellorin::limits {

using Milliseconds = std::chrono::milliseconds;

// ---- Tools (each run is stopped with its whole process group at its limit)

// ps lists a few thousand processes in well under a second even on a loaded Mac.
inline constexpr Milliseconds snapshotTimeLimit{10'000};
// kill(1) signals one process and returns; a run that hangs means the tool itself is stuck.
inline constexpr Milliseconds signalTimeLimit{3'000};
// pfctl loads a rule file in milliseconds; a restore that needs it fails (and is retried) instead.
inline constexpr Milliseconds packetFilterTimeLimit{15'000};
// dscacheutil, killall and resolvectl answer at once; the cache flush is best-effort anyway.
inline constexpr Milliseconds cacheFlushTimeLimit{5'000};
// The notifier's listing serves only to skip a notification: a second is plenty, and its answer is
// reused for a second so that the notifications of one pass wait for one listing at most.
inline constexpr Milliseconds notifierListingTimeLimit{1'000};
inline constexpr Milliseconds notifierListingReuse{1'000};
// The launcher of a notification runs in the background; the script runner may sit on a consent
// prompt, so it is given up after a few seconds.
inline constexpr Milliseconds launcherTimeLimit{5'000};
// Notifications under way at once: far more than one pass posts, few enough that a launcher that
// hangs on every run cannot pile up processes.
inline constexpr size_t backgroundRunCapacity = 16;
// How long a tool killed at its limit is waited for before it is left for later reaping: SIGKILL
// ends a process at once unless the kernel holds it up.
inline constexpr Milliseconds killedToolWait{1'000};
// Bytes of a tool's output that an error text may carry: enough for the tool's own message, too
// few for a listing that ends up in a response file every user can read.
inline constexpr size_t toolOutputInErrorText = 300;

// ---- Termination

// Between -TERM and -KILL: long enough for an application to save and quit, short enough that a
// blocked application never gets to be used.
inline constexpr Milliseconds gracePeriod{250};

// ---- Locks

// A lock is normally held for milliseconds, a restore with its tools about a second: a wait of
// half a minute only ever ends without the lock when another helper process is stuck.
inline constexpr Milliseconds lockWait{30'000};

// ---- The daemon pass

// Every tool run and lock wait of a pass ends by this point of the pass; what a pass does not reach
// is taken up by the next one.
inline constexpr Milliseconds passDeadline{40'000};
// The queue starts no request after this point of a pass, so that enforcement still gets its turn.
inline constexpr Milliseconds queueStepBudget{10'000};
// The pause after a failed pass: a failure that persists writes one line every few seconds, not
// five a second.
inline constexpr Milliseconds failedPassPause{5'000};
// The last guard: a daemon whose pass has run this long exits, and its service manager starts a
// fresh one. Only what no limit above covers (a process or a disk stuck in the kernel) gets here.
inline constexpr std::chrono::seconds passGuard{60};

// The longest a pass can take while every tool run and lock wait keeps to its limit: a run under
// way at the deadline is stopped there and waited for until it has gone, then a grace period that
// began just before the deadline ends. Nothing that waits starts after the deadline.
inline constexpr Milliseconds worstBoundedPass = passDeadline + killedToolWait + gracePeriod;
// What the guard leaves beyond that, for the work no limit bounds: reading and writing the event
// log, a response and the protocol marker, each a small file.
inline constexpr Milliseconds unboundedWorkAllowance{15'000};
static_assert(worstBoundedPass + unboundedWorkAllowance <= passGuard,
              "a pass that keeps every limit must end well before the last guard");
static_assert(queueStepBudget < passDeadline && lockWait < passDeadline,
              "the queue step and one lock wait fit inside a pass");

// ---- Files and records

// Blocked-application events kept in the log, newest last.
inline constexpr size_t eventLogCapacity = 100;
// Reads of an event log that keeps changing while it is read; every helper writes it under the
// session lock, so one that changes this often is a user's doing.
inline constexpr int eventLogReadAttempts = 5;
// A temporary file this old is a leftover of a killed helper: no write under way takes that long.
inline constexpr std::chrono::seconds temporaryFileMinimumAge{60};
// Files at places every local user can write are read only up to this size (sessions carry icon
// data, far below it).
inline constexpr size_t untrustedFileSizeCap = size_t{16} * 1024 * 1024;
// The most targets a session may hold: far more than anyone blocks by hand (a Mac's application
// folders rarely hold more than a few hundred bundles), and few enough that the daemon, which
// reads the stored session every 0.2 seconds, stays cheap whatever a local user queues.
inline constexpr size_t maximumSessionApplications = 1000;  // apps and browserBlockingApps together
inline constexpr size_t maximumSessionWebsites = 1000;

}  // namespace vellorin::limits
