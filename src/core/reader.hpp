// The reader thread: it reads what the server sends on its own descriptor of
// the control connection and prints it. All the reader's output text lives
// here. No Python: the thread never touches the interpreter.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/output.hpp"

namespace sonvex::core {

// Appends the output line for one received line (its bytes without the line
// feed): "Received: ", the line with ill-formed UTF-8 replaced and Unicode
// white space trimmed from both ends, and a line feed.
void append_received_line(std::string& out, std::string_view line);

// What each output line for a received line starts with; readers of the
// output (the reply tap's drain) sort lines by it.
inline constexpr std::string_view kReceived = "Received: ";

// Written once when the reader ends.
inline constexpr std::string_view kConnectionClosed = "Connection closed.\n";

// The reader thread's stack. tests/cpp/reader_stack_test.cpp measures what
// the reader uses on each of its paths (about 20 KiB, glibc's thread control
// block and TLS included) and keeps it under half of this. Sanitizers put
// frames of their own and red zones on the stack.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::size_t kReaderStack = 256 << 10;
#else
inline constexpr std::size_t kReaderStack = 64 << 10;
#endif

// Starts a detached thread that runs run_reader(fd, out_fd) on a stack of
// kReaderStack bytes. The thread owns
// `fd` from here on; if it cannot be started, `fd` is closed and the errno
// returned.
int start_reader(int fd, int out_fd = kStdout);

// The reader's loop, run on the calling thread (the thread body, and a way
// for tests to run it directly): prints every line received on `fd` to
// `out_fd`, all complete lines of one receive with one write, then the last
// unfinished line, if any, and "Connection closed." when the stream ends or
// fails; then closes `fd`.
void run_reader(int fd, int out_fd);

// The number of reader threads that run in this process.
std::size_t running_readers();

// Waits until fewer than `count` readers run, for at most `milliseconds`;
// whether they do.
bool wait_for_fewer_readers(std::size_t count, int milliseconds);

}  // namespace sonvex::core
