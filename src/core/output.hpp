// The module's standard-output writer: whole lines written with write(2)
// under one process-wide lock, so lines written by different threads never
// interleave. Nothing is buffered between calls, so every line is out as soon
// as the call returns.
#pragma once

#include <string>
#include <string_view>

namespace sonvex::core {

inline constexpr int kStdout = 1;

// Writes `lines` (one or more complete lines) to `fd` in full, repeating
// interrupted and partial writes. Returns 0, or the errno of the failure.
int write_lines(std::string_view lines, int fd = kStdout);

// "<system description> (os error N)"
std::string describe_os_error(int code);

}  // namespace sonvex::core
