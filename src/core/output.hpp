// Writing to descriptors: whole texts with write(2), and the module's
// standard-output writer, which writes whole lines under one process-wide
// lock so that lines written by different threads never interleave. Nothing
// is buffered between calls, so every line is out as soon as the call
// returns, but for what signal handlers leave pending (see write_lines).
// A forked child gets the lock anew, free, whatever the parent's
// threads were doing.
#pragma once

#include <chrono>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace sonvex::core {

inline constexpr int kStdout = 1;
inline constexpr int kStderr = 2;

// Called on the calling thread when a signal interrupted a blocking call
// (or cut a write short): true to go on, false to abandon the operation.
// The caller keeps its own reason (say, the exception a signal handler
// raised).
using OnInterrupt = bool (*)();

// Returned by the writers here, and by send_all and connect_tcp, when
// `on_interrupt` abandoned the operation.
inline constexpr int kAbandoned = -2;

// Writes all of `text` to `fd`, repeating interrupted and partial writes and
// waiting for room when `fd` is in non-blocking mode and full. A signal that
// interrupts a write or a wait, or cuts a write short, asks `on_interrupt`
// (no function: go on). Returns 0, kAbandoned, or the errno of the failure
// (EIO for a write of no bytes); `written`, if given, receives the number
// of bytes that went out.
int write_all(int fd, std::string_view text, OnInterrupt on_interrupt = nullptr,
              std::size_t* written = nullptr);
// The same for a text in pieces (at most kMaxPieces), written one after
// the other with writev, so that none is copied to join them.
inline constexpr std::size_t kMaxPieces = 4;
int write_all(int fd, std::span<const std::string_view> pieces, OnInterrupt on_interrupt = nullptr,
              std::size_t* written = nullptr);

// Writes `lines` (one or more complete lines, whole or in pieces) to `fd`
// with write_all, under the output lock, so that lines of different threads
// never interleave.
//
// A writer with `on_interrupt` (one that runs signal handlers) also asks it
// now and then while another thread holds the lock, and may abandon that
// wait. Once part of its lines went out, an abandoned write leaves the rest
// pending: it goes out before any other line, written by the next writer
// (any thread), or at exit. Lines written by a signal handler while its own
// thread holds the lock (the handler ran inside that thread's write) are
// pending in the same way and go out right after the lines being written;
// such a call returns 0 at once.
int write_lines(std::string_view lines, int fd = kStdout, OnInterrupt on_interrupt = nullptr);
int write_lines(std::span<const std::string_view> pieces, int fd = kStdout,
                OnInterrupt on_interrupt = nullptr);

// Writes what is pending (see write_lines) within `limit`, or until a
// SIGINT arrives: the flush at exit, which must end although standard
// output may be full with no one reading it and the output lock held for
// good by a thread blocked there. Returns the bytes it could not write (0
// when nothing was pending). At exit the module calls it with a limit of
// one second and counts what is left on standard error.
std::size_t flush_pending(std::chrono::milliseconds limit);

// "<system description> (os error N)"
std::string describe_os_error(int code);

}  // namespace sonvex::core
