// Command, its variant classes (Command_<Variant>) and payload classes
// (<Variant>). Every command object holds one complete command value; every
// payload object holds a copy of one command's payload. Both are immutable
// and compare by identity.

#include <deque>
#include <utility>

#include "commands/commands.hpp"
#include "module.hpp"

namespace sonvex {

namespace {

using core::kCommandCount;

// Layout shared by command and payload objects. `ready` is false only for
// memory the interpreter allocated without our constructor running.
struct ValueObject {
    PyObject_HEAD
    bool ready;
    core::Command command;
};

ValueObject* as_value(PyObject* o) { return reinterpret_cast<ValueObject*>(o); }

const core::Command& held(PyObject* o) {
    if (!as_value(o)->ready) fail_internal("object without a command value");
    return as_value(o)->command;
}

// A new object of `type` whose command is constructed in place from `args`.
template <class... Args>
PyObject* alloc_value(PyTypeObject* type, Args&&... args) {
    PyObject* object = PyType_GenericAlloc(type, 0);
    if (!object) return nullptr;
    new (&as_value(object)->command) core::Command(std::forward<Args>(args)...);
    as_value(object)->ready = true;
    return object;
}

void value_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (as_value(self)->ready) as_value(self)->command.~Command();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
    return raise_no_constructor(type);
}

PyObject* command_str(PyObject* self) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        if (!check_self(self, reinterpret_cast<PyTypeObject*>(command_type()), "__str__"))
            return nullptr;
        // Rendered into a buffer that keeps its capacity between calls.
        thread_local std::string text;
        text.clear();
        core::render(held(self), text);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyMethodDef kRefuseSubclass[] = {kRefuseSubclassMethod, {nullptr, nullptr, 0, nullptr}};

std::string variant_class_name(std::size_t i) {
    return "Command_" + std::string(core::kCatalogue[i].variant);
}

// Class objects. Variant classes are made with Command; payload classes on
// first use.
PyObject* g_command = nullptr;
std::array<PyObject*, kCommandCount> g_variants{};
std::array<PyObject*, kCommandCount> g_payloads{};

PyTypeObject* payload_type(std::size_t i) {
    if (!g_payloads[i]) {
        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
            {Py_tp_setattro, reinterpret_cast<void*>(refuse_setattr)},
            {Py_tp_methods, kRefuseSubclass},
            {0, nullptr},
        };
        g_payloads[i] = create_type("sonvex_rs.commands", core::kCatalogue[i].variant,
                                    sizeof(ValueObject), 0, slots);
    }
    return reinterpret_cast<PyTypeObject*>(g_payloads[i]);
}

// Checks that `self` belongs to variant class I and holds a command of that
// variant; returns the command.
template <std::size_t I>
const core::Command* checked_variant(PyObject* self) {
    auto* type = reinterpret_cast<PyTypeObject*>(g_variants[I]);
    if (!PyObject_TypeCheck(self, type)) {
        raise_conversion_error(self, variant_class_name(I));
        return nullptr;
    }
    const core::Command& command = held(self);
    if (static_cast<std::size_t>(command.variant) != I)
        fail_internal(
            "internal error: entered unreachable code: Wrong complex enum variant found in "
            "variant wrapper PyClass");
    return &command;
}

template <std::size_t I>
PyObject* payload_copy(PyObject* self) {
    const core::Command* command = checked_variant<I>(self);
    if (!command) return nullptr;
    PyTypeObject* type = payload_type(I);
    if (!type) return nullptr;
    return alloc_value(type, *command);
}

template <std::size_t I>
PyObject* variant_get_0(PyObject* self, void*) {
    return guarded(static_cast<PyObject*>(nullptr), [&] { return payload_copy<I>(self); });
}

template <std::size_t I>
Py_ssize_t variant_len(PyObject* self) {
    return guarded(Py_ssize_t{-1}, [&]() -> Py_ssize_t {
        return checked_variant<I>(self) ? 1 : -1;
    });
}

constexpr std::string_view kIndexParam[] = {"idx"};
constexpr std::string_view kPayloadParam[] = {"_0"};

template <std::size_t I>
PyObject* variant_getitem(PyObject* self, PyObject* key) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        if (!checked_variant<I>(self)) return nullptr;
        std::uint32_t index = 0;
        if (!to_u32(key, index)) return argument_failed(kIndexParam[0]), nullptr;
        if (index != 0) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return nullptr;
        }
        return payload_copy<I>(self);
    });
}

// "Command_CallMake.", the owner in binding messages of the constructors.
std::array<std::string, kCommandCount> g_new_owners;

template <std::size_t I>
PyObject* variant_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        const Signature sig{g_new_owners[I], "__new__", kPayloadParam};
        PyObject* bound[1];
        Ref keep;
        if (!bind_arguments(sig, args, kwargs, bound, keep)) return nullptr;
        PyTypeObject* expected = payload_type(I);
        if (!expected) return nullptr;
        if (!to_instance(bound[0], expected)) return argument_failed(kPayloadParam[0]), nullptr;
        core::Command command = held(bound[0]);
        if (static_cast<std::size_t>(command.variant) != I)
            fail_internal("payload object holds a payload of another command");
        return wrap_command(std::move(command));
    });
}

template <std::size_t I>
PyObject* create_variant_class(PyObject* base) {
    static PyGetSetDef getset[] = {
        {"_0", variant_get_0<I>, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const std::string doc = variant_class_name(I) + "(_0)\n--\n\n";
    g_new_owners[I] = variant_class_name(I) + ".";
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(variant_new<I>)},
        {Py_tp_getset, getset},
        {Py_mp_length, reinterpret_cast<void*>(variant_len<I>)},
        {Py_mp_subscript, reinterpret_cast<void*>(variant_getitem<I>)},
        {Py_tp_methods, kRefuseSubclass},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {0, nullptr},
    };
    Ref type = Ref::steal(create_type("sonvex_rs.commands", variant_class_name(I),
                                      sizeof(ValueObject), 0, slots, base));
    if (!type) return nullptr;
    Ref match_args = Ref::steal(Py_BuildValue("(s)", "_0"));
    if (!match_args || PyObject_SetAttrString(type.get(), "__match_args__", match_args.get()) < 0)
        return nullptr;
    return type.release();
}

template <std::size_t... I>
bool create_variant_classes(PyObject* base, std::index_sequence<I...>) {
    return ((g_variants[I] = create_variant_class<I>(base)) && ...);
}

PyObject* create_command_class() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
        {Py_tp_str, reinterpret_cast<void*>(command_str)},
        {Py_tp_setattro, reinterpret_cast<void*>(refuse_setattr)},
        {Py_tp_methods, factory_methods().data()},
        {0, nullptr},
    };
    Ref command = Ref::steal(create_type("sonvex_rs.commands", "Command", sizeof(ValueObject),
                                         Py_TPFLAGS_BASETYPE, slots));
    if (!command) return nullptr;
    if (!create_variant_classes(command.get(), std::make_index_sequence<kCommandCount>{})) {
        for (PyObject*& variant : g_variants) Py_CLEAR(variant);
        return nullptr;
    }
    for (std::size_t i = 0; i < kCommandCount; ++i) {
        std::string name(core::kCatalogue[i].variant);
        if (PyObject_SetAttrString(command.get(), name.c_str(), g_variants[i]) < 0) return nullptr;
    }
    return command.release();
}

}  // namespace

PyObject* command_type() {
    if (!g_command) g_command = create_command_class();
    return g_command;
}

PyObject* wrap_command(core::Command&& command) {
    auto index = static_cast<std::size_t>(command.variant);
    if (index >= kCommandCount || !g_variants[index]) fail_internal("no class for command");
    return alloc_value(reinterpret_cast<PyTypeObject*>(g_variants[index]), std::move(command));
}

PyObject* new_command(core::Variant variant, core::Command*& command) {
    auto index = static_cast<std::size_t>(variant);
    if (index >= kCommandCount || !g_variants[index]) fail_internal("no class for command");
    PyObject* object = alloc_value(reinterpret_cast<PyTypeObject*>(g_variants[index]));
    if (!object) return nullptr;
    command = &as_value(object)->command;
    command->variant = variant;
    return object;
}

bool command_from_object(PyObject* o, core::Command& out) {
    PyObject* base = command_type();
    if (!base || !to_instance(o, reinterpret_cast<PyTypeObject*>(base))) return false;
    out = held(o);
    return true;
}

const char* signature_doc(std::string_view name, std::span<const std::string_view> params,
                          bool with_self) {
    static std::deque<std::string> docs;
    std::string& doc = docs.emplace_back(name);
    doc += '(';
    if (with_self) doc += params.empty() ? "$self" : "$self, ";
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i > 0) doc += ", ";
        doc += params[i];
    }
    doc += ")\n--\n\n";
    return doc.c_str();
}

}  // namespace sonvex
