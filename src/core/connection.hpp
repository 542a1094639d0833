// The control connection at the socket level: opening, sending whole lines,
// closing. No Python in here; callers map the error numbers to their own
// errors.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/address.hpp"

namespace sonvex::core {

// Returned by send_all when a send accepted no bytes.
inline constexpr int kWriteZero = -1;
// Returned by connect_tcp when the caller abandoned an interrupted connect.
inline constexpr int kConnectAbandoned = -2;

// Called when a signal interrupts a connect, on the connecting thread: true
// to go on waiting for the same attempt, false to abandon it.
using OnInterrupt = bool (*)();

// Opens a close-on-exec TCP stream socket of the address's family and
// connects it (blocking, no time limit of our own). An interrupted connect
// asks `on_interrupt` (no function: go on) and then waits for the attempt
// to finish. Then sets the receive and send time-outs to none and disables
// Nagle's algorithm, ignoring failures of those three. Returns 0 and the
// descriptor, kConnectAbandoned, or the errno. The descriptor is never 0, 1
// or 2, so that a process with a closed standard descriptor never writes
// its output into the connection.
int connect_tcp(const IpAddress& address, std::uint16_t port, int& fd,
                OnInterrupt on_interrupt = nullptr);

// Duplicates a descriptor (close-on-exec), to a number of at least 3.
// Returns 0 and the copy, or errno.
int duplicate_descriptor(int fd, int& copy);

// Sends all of `data`, continuing partial sends and repeating interrupted
// ones; a peer that has gone gives an error, never SIGPIPE. Returns 0, an
// errno, or kWriteZero.
int send_all(int fd, std::string_view data);

// Closes this descriptor; with `end_stream`, first ends our sending
// direction, so the server sees end of stream. A reader holding another
// descriptor of the socket goes on reading until the server closes. Ending
// the stream acts on the socket, which a forked child shares with its
// parent: only the process that opened the connection may do it.
void close_connection(int fd, bool end_stream);

}  // namespace sonvex::core
