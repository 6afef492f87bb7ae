#pragma once
// What both privileged helpers (velmora-capture, velmora-tls) do alike to be safe to hold a right: their
// status channel, whose lines are whole and bounded; only the descriptors they need; a clean stop on a
// signal or when the reader goes; and a bound on how many runs one user holds at once. Plain libc, so
// the privileged programs stay small enough to read.

#include <cstddef>
#include <cstdio>

namespace velmora::helper {

constexpr std::size_t kMaxStatusBytes = 4096;

// Keeps descriptors 0-2 and `statusFd` open and closes every other, then makes `statusFd` the status
// channel. False, having said why on standard error as `program`, when it cannot be written to.
bool OpenStatusChannel(int statusFd, const char* program);

// One status line, cut to kMaxStatusBytes and to one line (whatever the arguments hold), written at once so
// the reader never sees half of it.
[[gnu::format(printf, 1, 2)]] void Status(const char* format, ...);

// SIGTERM, SIGINT and SIGHUP call `onStop` without restarting calls (poll and write return at once); a
// reader that goes away shows as a failed write, not a SIGPIPE that kills the helper mid-write.
void StopOnSignals(void (*onStop)(int));

// One of `maxRuns` abstract socket names of this user for `program`, held until the process ends however
// it ends; -1 with errno EBUSY when all are taken. The names belong to the network namespace.
int TakeRunSlot(const char* program, int maxRuns);

} // namespace velmora::helper
