// Command, its variant classes (Command_<Variant>) and payload classes
// (<Variant>). Every command object holds one complete command value; every
// payload object holds a copy of one command's payload. Both are immutable
// and compare by identity.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "commands/commands.hpp"
#include "core/command.hpp"
#include "frame/binding.hpp"
#include "frame/classes.hpp"
#include "frame/converters.hpp"

namespace sonvex {

namespace {

using core::kCommandCount;

// Layout shared by command and payload objects: the command, and the bytes of
// its texts, which the command refers to, inline when they are short and in
// a block of their own otherwise. `ready` is false only for memory the
// interpreter allocated without our constructor running (PyPy's
// object.__new__).
constexpr std::size_t kInlineTexts = 64;

struct CommandObject {
    PyObject_HEAD
    bool ready;
    core::Command command;
    char* long_texts;  // owned; null when the texts are inline
    char texts[kInlineTexts];
};

CommandObject* as_command_object(PyObject* o) { return reinterpret_cast<CommandObject*>(o); }

// The command held by `o`, which is laid out as a command or payload object;
// nullptr (no error set) when no constructor of the module made it. The
// variant number is checked here, before anything dispatches on it.
const core::Command* held(PyObject* o) {
    const CommandObject& value = *as_command_object(o);
    if (!value.ready) return nullptr;
    if (static_cast<std::size_t>(value.command.variant) >= kCommandCount)
        fail_internal("command object holding a variant number out of range");
    return &value.command;
}

// Memory of command and payload objects (tp_alloc and tp_free of the
// variant and payload classes): a freed object's memory is kept, linked
// through its first bytes, for the next one. Commands are made and dropped
// at a high rate, and the interpreter's general allocator costs several
// times more per object; PyPy frees them in batches of thousands when its
// collector runs, hence the size of the reserve (about 1 MB at most). Only
// threads holding the interpreter lock get here.
struct FreeBlocks {
    static constexpr std::size_t kKept = 4096;
    struct Block {
        Block* next;
    };
    Block* first = nullptr;
    std::size_t count = 0;
} g_free_blocks;

PyObject* value_alloc(PyTypeObject* type, Py_ssize_t) {
    void* memory;
    if (FreeBlocks::Block* block = g_free_blocks.first) {
        g_free_blocks.first = block->next;
        --g_free_blocks.count;
        memory = block;
    } else if (!(memory = std::malloc(sizeof(CommandObject)))) {
        return PyErr_NoMemory();
    }
    // Sets the header (and takes a reference to the class), nothing else.
    PyObject* object = PyObject_Init(static_cast<PyObject*>(memory), type);
    as_command_object(object)->ready = false;
    as_command_object(object)->long_texts = nullptr;
    return object;
}

void value_free(void* memory) {
    if (g_free_blocks.count < FreeBlocks::kKept) {
        g_free_blocks.first = new (memory) FreeBlocks::Block{g_free_blocks.first};
        ++g_free_blocks.count;
    } else {
        std::free(memory);
    }
}

// Copies the texts that the object's command refers to into the object
// itself; then the object is complete. False with MemoryError set if long
// texts find no memory.
bool keep_texts(PyObject* object) {
    CommandObject& value = *as_command_object(object);
    char* storage = text_storage(object, core::text_bytes(value.command));
    if (!storage) return false;
    core::copy_texts(value.command, storage);
    return true;
}

// A new object of `type` holding a copy of `command` and of its texts.
PyObject* alloc_value(PyTypeObject* type, const core::Command& command) {
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object) return nullptr;
    new (&as_command_object(object.get())->command) core::Command(command);
    return keep_texts(object.get()) ? object.release() : nullptr;
}

void value_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (as_command_object(self)->ready) std::free(as_command_object(self)->long_texts);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
    return raise_no_constructor(type);
}

// Whether `o` is laid out as a command: an object of a variant class (their
// only base is Command) or of any other subclass of Command that keeps its
// layout.
bool is_command(PyObject* o) {
    PyTypeObject* base = command_type();
    return base && laid_out_as(o, base);
}

PyObject* command_str(PyObject* self) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        if (!is_command(self) && !check_self(self, command_type(), "__str__")) return nullptr;
        const core::Command* held_command = held(self);
        if (!held_command) return wrong_self(self, command_type(), "__str__"), nullptr;
        const core::Command& command = *held_command;
        // Rendered where it fits: on the stack for every usual command.
        const std::size_t room = core::max_length(command);
        char stack[512];
        std::unique_ptr<char[]> heap;
        char* const text = room <= sizeof stack ? stack : (heap.reset(new char[room]), heap.get());
        const auto length = static_cast<std::size_t>(core::render_to(command, text) - text);
        if (command.ascii)
            return fast_path::new_ascii_str(length, [&](char* out) { std::memcpy(out, text, length); });
        return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(length));
    });
}

PyMethodDef kRefuseSubclass[] = {kRefuseSubclassMethod, {nullptr, nullptr, 0, nullptr}};

constexpr std::string_view kPayloadParam[] = {"_0"};

// "Command_CallMake.": the owner of the variant constructor in binding
// messages; without the dot, the variant class's name.
template <std::size_t I>
inline constexpr auto kVariantOwner = [] {
    constexpr std::string_view prefix = "Command_";
    constexpr std::string_view variant = core::kCatalogue[I].variant;
    std::array<char, prefix.size() + variant.size() + 1> text{};
    std::size_t n = 0;
    for (char c : prefix) text[n++] = c;
    for (char c : variant) text[n++] = c;
    text[n] = '.';
    return text;
}();

template <std::size_t I>
inline constexpr Signature kVariantNewSignature{
    std::string_view(kVariantOwner<I>.data(), kVariantOwner<I>.size()), "__new__",
    kPayloadParam};

// Class objects. Variant classes are made with Command; payload classes on
// first use.
LazyClass g_command;
std::array<PyTypeObject*, kCommandCount> g_variants{};
std::array<LazyClass, kCommandCount> g_payloads;

PyTypeObject* payload_type(std::size_t i) {
    return g_payloads[i].get([i] {
        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
            {Py_tp_alloc, reinterpret_cast<void*>(value_alloc)},
            {Py_tp_free, reinterpret_cast<void*>(value_free)},
            {Py_tp_setattro, reinterpret_cast<void*>(refuse_setattr)},
            {Py_tp_methods, kRefuseSubclass},
            layout_init_slot<sizeof(CommandObject)>(),
            {0, nullptr},
        };
        return create_type("sonvex_rs.commands", core::kCatalogue[i].variant,
                           sizeof(CommandObject), 0, slots);
    });
}

std::string_view variant_class_name(std::size_t i);

// Checks that `self` belongs to variant class i and holds a command of that
// variant; returns the command.
const core::Command* checked_variant(std::size_t i, PyObject* self) {
    const core::Command* command = laid_out_as(self, g_variants[i]) ? held(self) : nullptr;
    if (!command) {
        raise_conversion_error(self, variant_class_name(i));
        return nullptr;
    }
    if (static_cast<std::size_t>(command->variant) != i)
        fail_internal(
            "internal error: entered unreachable code: Wrong complex enum variant found in "
            "variant wrapper PyClass");
    return command;
}

PyObject* payload_copy(std::size_t i, PyObject* self) {
    const core::Command* command = checked_variant(i, self);
    if (!command) return nullptr;
    PyTypeObject* type = payload_type(i);
    if (!type) return nullptr;
    return alloc_value(type, *command);
}

// The getter of _0; its closure is the variant number.
PyObject* variant_get_0(PyObject* self, void* closure) {
    return guarded(static_cast<PyObject*>(nullptr), [&] {
        return payload_copy(reinterpret_cast<std::uintptr_t>(closure), self);
    });
}

[[gnu::noinline]] Py_ssize_t variant_len(std::size_t i, PyObject* self) {
    return guarded(Py_ssize_t{-1}, [&]() -> Py_ssize_t { return checked_variant(i, self) ? 1 : -1; });
}

constexpr std::string_view kIndexParam = "idx";

[[gnu::noinline]] PyObject* variant_getitem(std::size_t i, PyObject* self, PyObject* key) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        if (!checked_variant(i, self)) return nullptr;
        std::uint32_t index = 0;
        if (!to_int(key, index)) return argument_failed(kIndexParam), nullptr;
        if (index != 0) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return nullptr;
        }
        return payload_copy(i, self);
    });
}

// Command_<Variant>(_0): a new command with a copy of the payload of _0.
[[gnu::noinline]] PyObject* from_payload(std::size_t i, const Signature& sig, PyObject* const* bound) {
    PyTypeObject* expected = payload_type(i);
    if (!expected) return nullptr;
    if (!to_instance(bound[0], expected)) return argument_failed(sig.params[0]), nullptr;
    const core::Command* command = held(bound[0]);
    if (!command) {
        raise_conversion_error(bound[0], type_name(expected));
        return argument_failed(sig.params[0]), nullptr;
    }
    if (static_cast<std::size_t>(command->variant) != i)
        fail_internal("payload object holds a payload of another command");
    return new_command_object(*command);
}

// The slots that the interpreter calls without telling the variant: one
// small function per variant that passes its number on (the functions above
// are kept out of line, so that each variant does not get a copy).
template <std::size_t I>
struct FromPayload {
    static PyObject* run(const Signature& sig, PyTypeObject*, PyObject* const* bound) {
        return from_payload(I, sig, bound);
    }
};

template <std::size_t I>
Py_ssize_t variant_len_of(PyObject* self) {
    return variant_len(I, self);
}

template <std::size_t I>
PyObject* variant_getitem_of(PyObject* self, PyObject* key) {
    return variant_getitem(I, self, key);
}

// What each variant class has of its own.
struct VariantClass {
    std::string_view name;  // Command_<Variant>
    const Signature* new_signature;
    newfunc new_slot;
    lenfunc length_slot;
    binaryfunc subscript_slot;
};

template <std::size_t... I>
constexpr std::array<VariantClass, sizeof...(I)> variant_classes(std::index_sequence<I...>) {
    return {VariantClass{
        std::string_view(kVariantOwner<I>.data(), kVariantOwner<I>.size() - 1),
        &kVariantNewSignature<I>,
        constructor<kVariantNewSignature<I>, receiver::AnyClass, FromPayload<I>>,
        variant_len_of<I>,
        variant_getitem_of<I>,
    }...};
}

constexpr auto kVariantClasses = variant_classes(std::make_index_sequence<kCommandCount>{});

std::string_view variant_class_name(std::size_t i) { return kVariantClasses[i].name; }

// The getters of the variant classes, each with its variant number.
PyGetSetDef g_variant_getset[kCommandCount][2];

PyTypeObject* create_variant_class(std::size_t i, PyObject* base) {
    const VariantClass& variant = kVariantClasses[i];
    PyGetSetDef* getset = g_variant_getset[i];
    getset[0] = {"_0", variant_get_0, nullptr, nullptr, reinterpret_cast<void*>(std::uintptr_t{i})};
    getset[1] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(variant.new_slot)},
        {Py_tp_getset, getset},
        {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
        {Py_tp_alloc, reinterpret_cast<void*>(value_alloc)},
        {Py_tp_free, reinterpret_cast<void*>(value_free)},
        {Py_mp_length, reinterpret_cast<void*>(variant.length_slot)},
        {Py_mp_subscript, reinterpret_cast<void*>(variant.subscript_slot)},
        {Py_tp_methods, kRefuseSubclass},
        {Py_tp_doc, const_cast<char*>(constructor_doc(*variant.new_signature))},
        layout_init_slot<sizeof(CommandObject)>(),
        {0, nullptr},
    };
    Ref type = Ref::steal(create_type("sonvex_rs.commands", variant.name, sizeof(CommandObject), 0,
                                      slots, base));
    if (!type) return nullptr;
    Ref match_args = Ref::steal(Py_BuildValue("(s)", "_0"));
    if (!match_args || PyObject_SetAttrString(type.get(), "__match_args__", match_args.get()) < 0)
        return nullptr;
    return reinterpret_cast<PyTypeObject*>(type.release());
}

PyObject* create_command_class() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
        {Py_tp_str, reinterpret_cast<void*>(command_str)},
        {Py_tp_setattro, reinterpret_cast<void*>(refuse_setattr)},
        {Py_tp_methods, factory_methods().data()},
        layout_init_slot<sizeof(CommandObject)>(),
        {0, nullptr},
    };
    Ref command = Ref::steal(create_type("sonvex_rs.commands", "Command", sizeof(CommandObject),
                                         Py_TPFLAGS_BASETYPE, slots));
    if (!command) return nullptr;
    for (std::size_t i = 0; i < kCommandCount; ++i) {
        if (!(g_variants[i] = create_variant_class(i, command.get()))) {
            for (PyTypeObject*& variant : g_variants) Py_CLEAR(variant);
            return nullptr;
        }
    }
    for (std::size_t i = 0; i < kCommandCount; ++i) {
        std::string name(core::kCatalogue[i].variant);
        if (PyObject_SetAttrString(command.get(), name.c_str(),
                                   reinterpret_cast<PyObject*>(g_variants[i])) < 0)
            return nullptr;
    }
    return command.release();
}

}  // namespace

PyTypeObject* command_type() { return g_command.get(create_command_class); }

PyObject* new_command_object(const core::Command& command) {
    auto index = static_cast<std::size_t>(command.variant);
    if (index >= kCommandCount || !g_variants[index]) fail_internal("no class for command");
    return alloc_value(g_variants[index], command);
}

PyObject* start_command(core::Variant variant, core::Command*& command) {
    auto index = static_cast<std::size_t>(variant);
    if (index >= kCommandCount || !g_variants[index]) fail_internal("no class for command");
    PyTypeObject* type = g_variants[index];
    PyObject* object = type->tp_alloc(type, 0);
    if (!object) return nullptr;
    command = new (&as_command_object(object)->command) core::Command;
    command->variant = variant;
    return object;
}

char* text_storage(PyObject* object, std::size_t bytes) {
    CommandObject& value = *as_command_object(object);
    if (bytes > kInlineTexts && !(value.long_texts = static_cast<char*>(std::malloc(bytes)))) {
        PyErr_NoMemory();
        return nullptr;
    }
    value.ready = true;
    return value.long_texts ? value.long_texts : value.texts;
}

const core::Command* command_of(PyObject* o) {
    if (!is_command(o)) {
        PyTypeObject* base = command_type();
        if (!base || !to_instance(o, base)) return nullptr;
    }
    const core::Command* command = held(o);
    if (!command) raise_conversion_error(o, "Command");
    return command;
}

}  // namespace sonvex
