// SonvexClient: the settings of one media-server session, its control
// connection, its command tag, and one method per protocol command.

#include <cerrno>
#include <string>

#include "commands/commands.hpp"
#include "core/address.hpp"
#include "core/connection.hpp"
#include "core/output.hpp"
#include "module.hpp"

namespace sonvex {

namespace {

constexpr std::uint16_t kDefaultControlPort = 1234;
constexpr std::uint16_t kDefaultTransportChannelPort = 1235;
constexpr const char* kDefaultUsername = "user1";
constexpr const char* kDefaultPassword = "pwd";

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
    std::uint64_t command_tag;
    std::string line;  // reused for every command line, so sending does not allocate

    static PyTypeObject* type() { return reinterpret_cast<PyTypeObject*>(client_type()); }
};

ClientObject* as_client(PyObject* o) { return reinterpret_cast<ClientObject*>(o); }

// The client behind `o`, whose class the caller has checked (the receivers
// of the frame do).
ClientObject& ready_client(PyObject* o) {
    if (!as_client(o)->ready) fail_internal("client object was not constructed");
    return *as_client(o);
}

// ---------------------------------------------------------------------------
// Construction and destruction

constexpr std::string_view kNewParams[] = {"server", "control_port", "transport_channel_port",
                                           "username", "password"};
constexpr Signature kNewSignature{"SonvexClient.", "__new__", kNewParams};

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        // Not every interpreter checks the class handed to __new__; the class
        // cannot be subclassed, so it must be this one.
        if (type != ClientObject::type()) {
            PyErr_Format(PyExc_TypeError, "SonvexClient.__new__(%s): %s is not a subtype of SonvexClient",
                         type_name(type).c_str(), type_name(type).c_str());
            return nullptr;
        }
        PyObject* bound[5];
        Ref keep;
        if (!bind_arguments(kNewSignature, args, kwargs, bound, keep)) return nullptr;
        std::string_view server;
        std::optional<std::uint16_t> control_port, transport_channel_port;
        std::optional<std::string_view> username, password;
        // Line breaks in the credentials would split the login line in two.
        if (!(kind::Text::convert(bound[0], server, kNewParams[0]) || argument_failed(kNewParams[0])) ||
            !(kind::Optional<kind::U16>::convert(bound[1], control_port, kNewParams[1]) ||
              argument_failed(kNewParams[1])) ||
            !(kind::Optional<kind::U16>::convert(bound[2], transport_channel_port, kNewParams[2]) ||
              argument_failed(kNewParams[2])) ||
            !(kind::Optional<kind::LineText>::convert(bound[3], username, kNewParams[3]) ||
              argument_failed(kNewParams[3])) ||
            !(kind::Optional<kind::LineText>::convert(bound[4], password, kNewParams[4]) ||
              argument_failed(kNewParams[4])))
            return nullptr;
        std::optional<core::IpAddress> address = core::parse_ip_address(server);
        if (!address) {
            raise_error(PyExc_ValueError, "Invalid IP address: " + std::string(server));
            return nullptr;
        }
        // Everything that may throw happens before the object exists.
        std::string user(username.value_or(kDefaultUsername));
        std::string secret(password.value_or(kDefaultPassword));
        PyObject* self = PyType_GenericAlloc(type, 0);
        if (!self) return nullptr;
        ClientObject* client = as_client(self);
        new (&client->borrow) BorrowFlag{};
        new (&client->username) std::string(std::move(user));
        new (&client->password) std::string(std::move(secret));
        new (&client->line) std::string();
        client->address = *address;
        client->control_port = control_port.value_or(kDefaultControlPort);
        client->transport_channel_port = transport_channel_port.value_or(kDefaultTransportChannelPort);
        client->connection = -1;
        client->command_tag = 0;
        client->ready = true;
        return self;
    });
}

void client_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ClientObject* client = as_client(self);
    if (client->ready) {
        if (client->connection >= 0) core::close_connection(client->connection);
        using std::string;
        client->username.~string();
        client->password.~string();
        client->line.~string();
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Sending

void raise_os_error(PyObject* type, const std::string& message) { raise_error(type, message); }

// Appends the tag suffix to the text in client.line and writes the line.
// The tag advances only after the whole line went out.
bool send_line(ClientObject& client, std::uint64_t& tag) {
    if (client.connection < 0) {
        PyErr_SetString(PyExc_RuntimeError, "No active connection to send message");
        return false;
    }
    client.line += " COMMANDTAG=";
    client.line += std::to_string(client.command_tag);
    client.line += '\n';
    int error = core::send_all(client.connection, client.line);
    if (error != 0) {
        raise_os_error(PyExc_OSError,
                       "Failed to send message: " + (error == core::kWriteZero
                                                         ? std::string("failed to write whole buffer")
                                                         : core::describe_os_error(error)));
        return false;
    }
    tag = client.command_tag++;
    return true;
}

PyObject* send_text(ClientObject& client, std::string_view text) {
    client.line.assign(text);
    std::uint64_t tag = 0;
    if (!send_line(client, tag)) return nullptr;
    return PyLong_FromUnsignedLongLong(tag);
}

PyObject* send_raw_command(PyObject* self, std::string_view message) {
    return send_text(ready_client(self), message);
}

// A Command argument, copied out of its object.
struct CommandArgument {
    using type = core::Command;
    static bool convert(PyObject* o, type& v, std::string_view) { return command_from_object(o, v); }
};

// Renders the command into the client's line buffer and sends it.
bool send_rendered(ClientObject& client, const core::Command& command, std::uint64_t& tag) {
    client.line.clear();
    core::render(command, client.line);
    return send_line(client, tag);
}

PyObject* send_command(PyObject* self, const core::Command& command) {
    std::uint64_t tag = 0;
    if (!send_rendered(ready_client(self), command, tag)) return nullptr;
    return PyLong_FromUnsignedLongLong(tag);
}

constexpr std::string_view kMessageParam[] = {"message"};
constexpr Signature kSendRawSignature{"SonvexClient.", "send_raw_command", kMessageParam};
constexpr std::string_view kCommandParam[] = {"command"};
constexpr Signature kSendCommandSignature{"SonvexClient.", "send_command", kCommandParam};

// ---------------------------------------------------------------------------
// The command methods, one per catalogue row

PyObject* send_built(ClientObject& client, const core::Command& command) {
    std::uint64_t tag = 0;
    return send_rendered(client, command, tag) ? none() : nullptr;
}

// The method's parameters: the command's fields, or none when the method
// sends the client's own credentials.
template <std::size_t I>
inline constexpr std::span<const std::string_view> kMethodParams =
    core::kCatalogue[I].method_args == core::MethodArgs::Credentials
        ? std::span<const std::string_view>()
        : std::span<const std::string_view>(kFieldNames<I>);

template <std::size_t I>
inline constexpr Signature kMethodSignature{"SonvexClient.", core::kCatalogue[I].method,
                                            kMethodParams<I>};

// The login's fields: the client's user name and password, and the other
// fields' defaults.
void fill_credentials(const ClientObject& client, core::Command& command) {
    const core::CommandSpec& spec = command.spec();
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        const core::FieldSpec& field = spec.fields[i];
        if (field.name == "username") {
            command.set_text(i, client.username);
        } else if (field.name == "password") {
            command.set_text(i, client.password);
        } else {
            command.fields[i].present = field.has_default;
            command.fields[i].number = field.default_value;
        }
    }
}

template <std::size_t I>
PyObject* command_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        PyObject* bound[core::kMaxFields + 1];
        if (!bind_arguments(kMethodSignature<I>, args, nargs, kwnames, bound)) return nullptr;
        std::optional<ExclusiveUse> use;
        if (!receiver::Exclusive<ClientObject>::acquire(self, use)) return nullptr;
        ClientObject& client = ready_client(self);
        core::Command command{static_cast<core::Variant>(I)};
        if constexpr (core::kCatalogue[I].method_args == core::MethodArgs::Credentials)
            fill_credentials(client, command);
        else if (!convert_fields(core::kCatalogue[I], bound, command))
            return nullptr;
        return send_built(client, command);
    });
}

template <std::size_t I>
PyMethodDef method_def() {
    constexpr const core::CommandSpec& spec = core::kCatalogue[I];
    return {spec.method.data(), SONVEX_FASTCALL(command_method<I>), METH_FASTCALL | METH_KEYWORDS,
            signature_doc(spec.method, kMethodParams<I>, true)};
}

// The method table lists get_version first, then the other commands in
// catalogue order.
constexpr auto kMethodOrder = [] {
    std::array<std::size_t, core::kCommandCount> order{};
    std::size_t first = 0;
    for (std::size_t i = 0; i < core::kCommandCount; ++i)
        if (core::kCatalogue[i].method == "get_version") first = i;
    std::size_t next = 0;
    order[next++] = first;
    for (std::size_t i = 0; i < core::kCommandCount; ++i)
        if (i != first) order[next++] = i;
    return order;
}();

// ---------------------------------------------------------------------------
// Connection

PyObject* os_error_class(int error) {
    switch (error) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM: return PyExc_PermissionError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case EPIPE: return PyExc_BrokenPipeError;
    case EEXIST: return PyExc_FileExistsError;
    case EAGAIN: return PyExc_BlockingIOError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EISDIR: return PyExc_IsADirectoryError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EINTR: return PyExc_InterruptedError;
    default: return PyExc_OSError;
    }
}

PyObject* client_connect(PyObject* self) {
    ClientObject& client = ready_client(self);
    int fd = -1;
    if (int error = core::connect_tcp(client.address, client.control_port, fd)) {
        raise_os_error(PyExc_OSError, "Failed to connect: " + core::describe_os_error(error));
        return nullptr;
    }
    int reader_fd = -1;
    if (int error = core::duplicate_descriptor(fd, reader_fd)) {
        core::close_connection(fd);
        raise_os_error(os_error_class(error), core::describe_os_error(error));
        return nullptr;
    }
    if (client.connection >= 0) core::close_connection(client.connection);
    client.connection = fd;
    if (int error = core::start_reader(reader_fd))
        fail_internal("failed to spawn thread: " + core::describe_os_error(error));
    return none();
}

PyObject* client_disconnect(PyObject* self) {
    ClientObject& client = ready_client(self);
    if (client.connection < 0) {
        PyErr_SetString(PyExc_RuntimeError, "No active connection to disconnect");
        return nullptr;
    }
    core::close_connection(client.connection);
    client.connection = -1;
    return none();
}

// ---------------------------------------------------------------------------
// Reading

PyObject* client_print_details(PyObject* self) {
    const ClientObject& client = ready_client(self);
    std::string line = "SonvexClient(server: " + core::format_ip_address(client.address) +
                       ", control_port: " + std::to_string(client.control_port) +
                       ", transport_channel_port: " +
                       std::to_string(client.transport_channel_port) +
                       ", username: " + client.username + ", password: " + client.password +
                       ")\n";
    if (int error = core::write_lines(line))
        fail_internal("failed printing to stdout: " + core::describe_os_error(error));
    return none();
}

PyObject* client_command_tag(PyObject* self, void*) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        std::optional<SharedUse> use;
        if (!receiver::Shared<ClientObject>::acquire(self, use)) return nullptr;
        return PyLong_FromUnsignedLongLong(ready_client(self).command_tag);
    });
}

constexpr Signature kConnectSignature{"SonvexClient.", "connect", {}};
constexpr Signature kDisconnectSignature{"SonvexClient.", "disconnect", {}};
constexpr Signature kPrintDetailsSignature{"SonvexClient.", "print_details", {}};

// ---------------------------------------------------------------------------
// The class

template <std::size_t... P>
auto client_methods(std::index_sequence<P...>) {
    return std::array<PyMethodDef, sizeof...(P) + 7>{
        PyMethodDef{"connect",
                    SONVEX_FASTCALL((callable<kConnectSignature, receiver::Exclusive<ClientObject>,
                                              client_connect>)),
                    METH_FASTCALL | METH_KEYWORDS, "connect($self)\n--\n\n"},
        PyMethodDef{"disconnect",
                    SONVEX_FASTCALL((callable<kDisconnectSignature,
                                              receiver::Exclusive<ClientObject>, client_disconnect>)),
                    METH_FASTCALL | METH_KEYWORDS, "disconnect($self)\n--\n\n"},
        PyMethodDef{"send_raw_command",
                    SONVEX_FASTCALL((callable<kSendRawSignature, receiver::Exclusive<ClientObject>,
                                              send_raw_command, kind::Text>)),
                    METH_FASTCALL | METH_KEYWORDS, "send_raw_command($self, message)\n--\n\n"},
        PyMethodDef{"send_command",
                    SONVEX_FASTCALL((callable<kSendCommandSignature,
                                              receiver::Exclusive<ClientObject>, send_command,
                                              CommandArgument>)),
                    METH_FASTCALL | METH_KEYWORDS, "send_command($self, command)\n--\n\n"},
        method_def<kMethodOrder[P]>()...,
        PyMethodDef{"print_details",
                    SONVEX_FASTCALL((callable<kPrintDetailsSignature, receiver::Shared<ClientObject>,
                                              client_print_details>)),
                    METH_FASTCALL | METH_KEYWORDS, "print_details($self)\n--\n\n"},
        kRefuseSubclassMethod,
        PyMethodDef{nullptr, nullptr, 0, nullptr},
    };
}

PyGetSetDef kClientGetSet[] = {
    {"command_tag", client_command_tag, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* create_client_class() {
    static auto methods = client_methods(std::make_index_sequence<core::kCommandCount>{});
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(client_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
        {Py_tp_setattro, reinterpret_cast<void*>(refuse_setattr)},
        {Py_tp_methods, methods.data()},
        {Py_tp_getset, kClientGetSet},
        {Py_tp_doc, const_cast<char*>(
                        "SonvexClient(server, control_port, transport_channel_port, username, "
                        "password)\n--\n\n")},
        {0, nullptr},
    };
    return create_type("sonvex_rs.client", "SonvexClient", sizeof(ClientObject), 0, slots);
}

}  // namespace

PyObject* client_type() {
    static PyObject* type = nullptr;
    if (!type) type = create_client_class();
    return type;
}

}  // namespace sonvex
