// Writing to descriptors: whole texts with write(2), and the module's
// standard-output writer, which writes whole lines under one process-wide
// lock so that lines written by different threads never interleave. Nothing
// is buffered between calls, so every line is out as soon as the call
// returns. A forked child gets the lock anew, free, whatever the parent's
// threads were doing.
#pragma once

#include <string>
#include <string_view>

namespace sonvex::core {

inline constexpr int kStdout = 1;
inline constexpr int kStderr = 2;

// Writes all of `text` to `fd`, repeating interrupted and partial writes and
// waiting for room when `fd` is in non-blocking mode and full. Returns 0, or
// the errno of the failure (EIO for a write of no bytes).
int write_all(int fd, std::string_view text);

// Writes `lines` (one or more complete lines) to `fd` with write_all, under
// the output lock.
int write_lines(std::string_view lines, int fd = kStdout);

// "<system description> (os error N)"
std::string describe_os_error(int code);

}  // namespace sonvex::core
