// What the parts of SonvexClient share: the layout of a client object and
// the sending of one command line. Used by client.cpp and by the command
// methods (command_methods.hpp); free of the catalogue, so that client.cpp
// does not recompile when a catalogue row changes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "client/client.hpp"
#include "core/address.hpp"
#include "core/buffer.hpp"
#include "core/connection.hpp"
#include "core/output.hpp"
#include "core/put.hpp"
#include "frame/binding.hpp"

namespace sonvex {

struct ClientObject {
    PyObject_HEAD
    bool ready;
    BorrowFlag borrow;
    core::IpAddress address;
    std::uint16_t control_port;
    std::uint16_t transport_channel_port;
    std::string username;
    std::string password;
    int connection;  // the client's descriptor of the control connection, or -1
    pid_t opener;    // the process that opened it
    std::uint64_t command_tag;
    core::Buffer line;  // reused for every command line, so sending does not allocate

    static PyTypeObject* type() { return client_type(); }
};

using Exclusive = receiver::Exclusive<ClientObject>;
using Shared = receiver::Shared<ClientObject>;

inline constexpr std::string_view kTagKey = " COMMANDTAG=";
// The tag suffix at its longest: the key, 20 digits and the line feed.
inline constexpr std::size_t kSuffixRoom = kTagKey.size() + core::kMaxDecimal + 1;

// OSError "Failed to send message: <reason>" for what send_all returned.
void raise_send_error(int error);

// Writes the command line: the text that `write` puts at the char* it is
// given (at most `length` bytes; it returns the text's end), the tag suffix
// and a line feed. The tag advances only after the whole line went out;
// `tag` receives the tag sent. False with the Python error set.
template <class Write>
bool send_line(ClientObject& client, std::size_t length, Write&& write, std::uint64_t& tag) {
    if (client.connection < 0) {
        PyErr_SetString(PyExc_RuntimeError, "No active connection to send message");
        return false;
    }
    char* const begin = client.line.reserve(length + kSuffixRoom);
    char* p = write(begin);
    p = core::put(p, kTagKey);
    p = core::put_unsigned(p, client.command_tag);
    *p++ = '\n';
    // A signal that interrupts the send runs the Python handlers (on the main
    // thread; elsewhere nothing runs and the send goes on). A handler that
    // raises ends the send with its exception: before any byte of the line
    // went out the connection stays; after part of it, no later line may
    // follow that part, so the connection is ended.
    std::size_t sent = 0;
    const int error =
        core::send_all(client.connection, std::string_view(begin, static_cast<std::size_t>(p - begin)),
                       run_signal_handlers, &sent);
    client.line.release_beyond(core::kKeptCapacity);
    if (error == core::kAbandoned) {
        if (sent > 0) {
            core::break_connection(client.connection);
            client.connection = -1;
        }
        return false;
    }
    if (error != 0) return raise_send_error(error), false;
    tag = client.command_tag++;
    return true;
}

// The client's command methods, one per catalogue row, in method-table order
// (command_methods.hpp); kept for the life of the process.
std::span<const PyMethodDef> command_methods();

}  // namespace sonvex
