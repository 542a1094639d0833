// The control connection at the socket level: opening, sending whole lines,
// closing. No Python in here; callers map the error numbers to their own
// errors.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/address.hpp"
#include "core/output.hpp"

namespace sonvex::core {

// Returned by send_all when a send accepted no bytes.
inline constexpr int kWriteZero = -1;
// Returned by connect_tcp when the caller abandoned an interrupted connect
// (OnInterrupt, in output.hpp: true to go on waiting for the same attempt).
inline constexpr int kConnectAbandoned = kAbandoned;

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

// Sends all of `data`, continuing partial sends; a peer that has gone gives
// an error, never SIGPIPE. A signal that interrupts a send, or cuts it short
// (a blocking send interrupted after it took some bytes returns their
// count), asks `on_interrupt` (no function: go on). Returns 0, an errno,
// kWriteZero or kAbandoned; `sent`, if given, receives the number of bytes
// sent, also on failure.
int send_all(int fd, std::string_view data, OnInterrupt on_interrupt = nullptr,
             std::size_t* sent = nullptr);

// Closes this descriptor; with `end_stream`, first ends our sending
// direction, so the server sees end of stream. A reader holding another
// descriptor of the socket goes on reading until the server closes. Ending
// the stream acts on the socket, which a forked child shares with its
// parent: only the process that opened the connection may do it.
void close_connection(int fd, bool end_stream);

// Ends both directions of the socket and closes this descriptor: for a
// stream that holds part of a line, which nothing may follow. The server
// sees the part and then the end of the stream; a reader holding another
// descriptor of the socket reads what is still there and then the end.
void break_connection(int fd);

}  // namespace sonvex::core
