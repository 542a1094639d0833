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

// Opens a close-on-exec TCP stream socket of the address's family and
// connects it (blocking, no time limit of our own). Then sets the receive
// and send time-outs to none and disables Nagle's algorithm, ignoring
// failures of those three. Returns 0 and the descriptor, or the errno.
int connect_tcp(const IpAddress& address, std::uint16_t port, int& fd);

// Duplicates a descriptor (close-on-exec). Returns 0 and the copy, or errno.
int duplicate_descriptor(int fd, int& copy);

// Sends all of `data`, continuing partial sends and repeating interrupted
// ones; a peer that has gone gives an error, never SIGPIPE. Returns 0, an
// errno, or kWriteZero.
int send_all(int fd, std::string_view data);

// Ends our sending direction, so the server sees end of stream, and closes
// this descriptor. A reader holding another descriptor of the socket goes on
// reading until the server closes.
void close_connection(int fd);

}  // namespace sonvex::core
