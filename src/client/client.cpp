// SonvexClient: the settings of one media-server session, its control
// connection, its command tag, and one method per protocol command.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string>
#include <utility>

#include "client/client.hpp"
#include "client/client_object.hpp"
#include "commands/commands.hpp"
#include "core/address.hpp"
#include "core/reader.hpp"
#include "frame/converters.hpp"

namespace sonvex {

namespace {

constexpr std::uint16_t kDefaultControlPort = 1234;
constexpr std::uint16_t kDefaultTransportChannelPort = 1235;
constexpr const char* kDefaultUsername = "user1";
constexpr const char* kDefaultPassword = "pwd";

ClientObject* as_client(PyObject* o) { return reinterpret_cast<ClientObject*>(o); }

// Closes the client's descriptor and empties the slot. Only the process that
// opened the connection ends the stream: a forked child that inherited the
// client shares the socket with its parent and just closes its descriptor.
void close_client_connection(ClientObject& client) {
    core::close_connection(client.connection, ::getpid() == client.opener);
    client.connection = -1;
}

// Raises `type` (OSError or a subclass) with `message`, carrying the error
// number `error` in its errno attribute. Its strerror stays None: an OSError
// with both would print as "[Errno N] <text>" instead of its message.
void raise_os_error(PyObject* type, const std::string& message, int error) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(),
                                               static_cast<Py_ssize_t>(message.size()), "replace"));
    Ref instance = text ? Ref::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr)) : Ref();
    Ref number = Ref::steal(PyLong_FromLong(error));
    if (!instance || !number || PyObject_SetAttrString(instance.get(), "errno", number.get()) < 0)
        return;
    PyErr_SetObject(type, instance.get());
}

// ---------------------------------------------------------------------------
// Construction and destruction

PyObject* client_new(PyTypeObject* type, std::string_view server,
                     std::optional<std::uint16_t> control_port,
                     std::optional<std::uint16_t> transport_channel_port,
                     std::optional<core::LineText> username,
                     std::optional<core::LineText> password) {
    std::optional<core::IpAddress> address = core::parse_ip_address(server);
    if (!address) {
        raise_error(PyExc_ValueError, "Invalid IP address: " + std::string(server));
        return nullptr;
    }
    // Everything that may throw happens before the object exists.
    std::string user(username ? username->bytes : kDefaultUsername);
    std::string secret(password ? password->bytes : kDefaultPassword);
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (!self) return nullptr;
    ClientObject* client = as_client(self);
    new (&client->borrow) BorrowFlag{};
    new (&client->username) std::string(std::move(user));
    new (&client->password) std::string(std::move(secret));
    new (&client->line) core::Buffer();
    client->address = *address;
    client->control_port = control_port.value_or(kDefaultControlPort);
    client->transport_channel_port = transport_channel_port.value_or(kDefaultTransportChannelPort);
    client->connection = -1;
    client->opener = 0;
    client->command_tag = 0;
    client->ready = true;
    return self;
}

// Clients freed so far, counted so that a connect short of descriptors can
// tell whether a collection freed any (under the interpreter lock).
std::size_t g_freed_clients = 0;

void client_dealloc(PyObject* self) {
    ++g_freed_clients;
    PyTypeObject* type = Py_TYPE(self);
    ClientObject* client = as_client(self);
    if (client->ready) {
        if (client->connection >= 0) close_client_connection(*client);
        using std::string;
        client->username.~string();
        client->password.~string();
        client->line.~Buffer();
    }
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace

// ---------------------------------------------------------------------------
// Sending

void raise_send_error(int error) {
    if (error == core::kWriteZero) {
        raise_error(PyExc_OSError, "Failed to send message: failed to write whole buffer");
        return;
    }
    raise_os_error(PyExc_OSError, "Failed to send message: " + core::describe_os_error(error), error);
}

namespace {

PyObject* send_raw_command(ClientObject& client, std::string_view message) {
    std::uint64_t tag = 0;
    auto write = [&](char* out) { return core::put(out, message); };
    if (!send_line(client, message.size(), write, tag)) return nullptr;
    return PyLong_FromUnsignedLongLong(tag);
}

// A Command argument: the command held by the object, which lives for the
// call.
struct CommandArgument {
    using type = const core::Command*;
    static bool convert(PyObject* o, type& v, std::string_view) { return (v = command_of(o)); }
};

PyObject* send_command(ClientObject& client, const core::Command* command) {
    std::uint64_t tag = 0;
    auto write = [&](char* out) { return core::render_to(*command, out); };
    if (!send_line(client, core::max_length(*command), write, tag)) return nullptr;
    return PyLong_FromUnsignedLongLong(tag);
}

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

// Runs `attempt` (which returns 0, an errno or core::kAbandoned) and, when
// it fails for lack of descriptors or of room for a thread, makes room and
// attempts again. Collections come first: PyPy frees objects of C classes
// only when its collector runs, so clients dropped without disconnect() keep
// their descriptors and readers until then; and a client in a cycle with a
// __del__ is freed by PyPy only at the collection after the one that ran the
// finalizer. So it collects, attempting after each, until kQuietCollections
// collections in a row free no client. Then the readers of connections that
// were closed give theirs back as their servers close: it waits for readers
// to end as long as one ends within a second. Signal handlers run meanwhile;
// kAbandoned with the error set if one (or a collection) raised.
template <class Attempt>
int making_room_when_short(Attempt&& attempt) {
    constexpr int kSlice = 50, kPatience = 1000;  // milliseconds
#if defined(PYPY_VERSION)
    constexpr int kQuietCollections = 2;
#else
    constexpr int kQuietCollections = 1;  // CPython frees finalizable cycles at once
#endif
    const auto short_of_room = [](int error) {
        return error == EMFILE || error == ENFILE || error == EAGAIN || error == ENOMEM;
    };
    int error = attempt();
    if (!short_of_room(error)) return error;
    Ref gc = Ref::steal(PyImport_ImportModule("gc"));
    if (!gc) return core::kAbandoned;
    for (int quiet = 0; quiet < kQuietCollections;) {
        const std::size_t freed = g_freed_clients;
        if (!Ref::steal(PyObject_CallMethod(gc.get(), "collect", nullptr))) return core::kAbandoned;
        if (g_freed_clients == freed) {
            ++quiet;
            continue;
        }
        quiet = 0;
        error = attempt();
        if (!short_of_room(error)) return error;
    }
    for (;;) {
        const std::size_t readers = core::running_readers();
        error = attempt();
        if (!short_of_room(error) || readers == 0) return error;
        int waited = 0;
        while (!core::wait_for_fewer_readers(readers, kSlice)) {
            if (!run_signal_handlers()) return core::kAbandoned;
            if ((waited += kSlice) >= kPatience) return error;
        }
    }
}

PyObject* client_connect(ClientObject& client) {
    int fd = -1;
    // A signal that interrupts the connect runs its Python handler; one that
    // raises abandons the connect with its exception.
    int error = making_room_when_short([&] {
        return core::connect_tcp(client.address, client.control_port, fd, run_signal_handlers);
    });
    if (error != 0) {
        if (error != core::kConnectAbandoned)
            raise_os_error(PyExc_OSError, "Failed to connect: " + core::describe_os_error(error),
                           error);
        return nullptr;
    }
    int reader_fd = -1;
    error = making_room_when_short([&] { return core::duplicate_descriptor(fd, reader_fd); });
    if (error != 0) {
        core::close_connection(fd, true);
        if (error != core::kAbandoned)
            raise_os_error(os_error_class(error), core::describe_os_error(error), error);
        return nullptr;
    }
    if (client.connection >= 0) close_client_connection(client);
    client.connection = fd;
    client.opener = ::getpid();
    error = making_room_when_short([&] {
        if (reader_fd < 0) {  // the failed first attempt closed it
            if (int e = core::duplicate_descriptor(fd, reader_fd)) return e;
        }
        return core::start_reader(std::exchange(reader_fd, -1));
    });
    if (error == core::kAbandoned) return nullptr;
    if (error != 0) fail_internal("failed to spawn thread: " + core::describe_os_error(error));
    return none();
}

PyObject* client_disconnect(ClientObject& client) {
    if (client.connection < 0) {
        PyErr_SetString(PyExc_RuntimeError, "No active connection to disconnect");
        return nullptr;
    }
    close_client_connection(client);
    return none();
}

// ---------------------------------------------------------------------------
// Reading

PyObject* client_print_details(ClientObject& client) {
    std::string line = "SonvexClient(server: " + core::format_ip_address(client.address) +
                       ", control_port: " + std::to_string(client.control_port) +
                       ", transport_channel_port: " +
                       std::to_string(client.transport_channel_port) +
                       ", username: " + client.username + ", password: " + client.password +
                       ")\n";
    // A signal handler that raises while the line waits for room ends the
    // wait with its exception.
    if (int error = core::write_lines(line, core::kStdout, run_signal_handlers)) {
        if (error == core::kAbandoned) return nullptr;
        fail_internal("failed printing to stdout: " + core::describe_os_error(error));
    }
    return none();
}

PyObject* client_command_tag(ClientObject& client) {
    return PyLong_FromUnsignedLongLong(client.command_tag);
}

// ---------------------------------------------------------------------------
// The class, made from the rows of client_members.def

// A member's name or a parameter's, as a template argument.
template <std::size_t N>
struct Name {
    char text[N];
    constexpr Name(const char (&literal)[N]) { std::copy_n(literal, N, text); }
    constexpr std::string_view view() const { return {text, N - 1}; }  // NUL-terminated
};

// PARAM(name, Converter, annotation)
template <Name N, class Converter>
struct Param {
    static constexpr std::string_view name = N.view();
    using converter = Converter;
};

// The parameters of a member: the signature of a member of that name, and
// the body that converts the arguments and calls Fn with the values.
template <class... P>
struct Params {
    static constexpr std::string_view names[sizeof...(P) + 1] = {P::name..., {}};
    template <Name Member>
    static constexpr Signature signature{"SonvexClient.", Member.view(),
                                         std::span<const std::string_view>(names, sizeof...(P))};
    template <auto Fn>
    using Call = CallWith<Fn, typename P::converter...>;
};

#define PARAMS_OF(...) Params<__VA_ARGS__>

// The getter of a read-only attribute: Body(target) is its value.
template <class Receiver, auto Body>
PyObject* get_member(PyObject* self, void*) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        auto target = Receiver::acquire(self);
        return target ? Body(*target) : nullptr;
    });
}

#define PARAM(name, Converter, annotation) Param<#name, Converter>
#define CLIENT_NEW(body, params, doc)         \
    using NewParams = PARAMS_OF params;       \
    constexpr const Signature& kNewSignature = NewParams::signature<"__new__">; \
    using ClientNew = NewParams::Call<body>;
#include "client/client_members.def"

// The whole method table, ending in the empty entry: the rows' methods in
// their order, with the command methods where COMMAND_METHODS stands, and
// the subclass refusal. Made once and kept for the life of the process, as
// the class refers to it.
PyMethodDef* client_methods() {
    const PyMethodDef rows[] = {
#define PARAM(name, Converter, annotation) Param<#name, Converter>
#define CLIENT_METHOD(name, Receiver, body, Result, params, doc) \
    method_def<PARAMS_OF params::signature<#name>, Receiver, PARAMS_OF params::Call<body>>(),
#define COMMAND_METHODS() PyMethodDef{},  // an empty entry stands for them
#include "client/client_members.def"
    };
    const std::span<const PyMethodDef> commands = command_methods();
    // Room for the rows, the command methods, the refusal and the empty end.
    auto* table = new PyMethodDef[std::size(rows) + commands.size() + 2]{};
    PyMethodDef* next = table;
    for (const PyMethodDef& row : rows) {
        if (row.ml_name)
            *next++ = row;
        else
            next = std::copy(commands.begin(), commands.end(), next);
    }
    *next = kRefuseSubclassMethod;
    return table;  // the entries after it stay empty
}

PyGetSetDef kClientGetSet[] = {
#define CLIENT_GETTER(name, Receiver, body, Result, doc) \
    {#name, get_member<Receiver, body>, nullptr, nullptr, nullptr},
#include "client/client_members.def"
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef PARAMS_OF

PyObject* create_client_class() {
    static PyMethodDef* const methods = client_methods();
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(
                        constructor<kNewSignature, receiver::ExactClass<ClientObject>, ClientNew>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
        {Py_tp_setattro, reinterpret_cast<void*>(refuse_setattr)},
        {Py_tp_methods, methods},
        {Py_tp_getset, kClientGetSet},
        {Py_tp_doc, const_cast<char*>(constructor_doc(kNewSignature))},
        layout_init_slot<sizeof(ClientObject)>(),
        {0, nullptr},
    };
    return create_type("sonvex_rs.client", "SonvexClient", sizeof(ClientObject), 0, slots);
}

}  // namespace

PyTypeObject* client_type() {
    static LazyClass type;
    return type.get(create_client_class);
}

}  // namespace sonvex
