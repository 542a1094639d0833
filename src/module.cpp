// The module entry point: builds the module tree once per process.
//
//   sonvex_rs             sum_as_string, client, commands
//   sonvex_rs.client      SonvexClient, sum_as_string
//   sonvex_rs.commands    Command

#include <cstdint>
#include <string>

#include "client/client.hpp"
#include "commands/commands.hpp"
#include "core/put.hpp"
#include "frame/binding.hpp"
#include "frame/converters.hpp"

namespace sonvex {

namespace {

// Appends `name` to the module's __all__ (creating the list on first use),
// then sets the attribute. Consumes `value`; false with the error set.
bool add_to_module(PyObject* module, const char* name, Ref value) {
    if (!value) return false;
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value.get()) == 0;
}

Ref borrow_class(PyTypeObject* type) { return Ref::borrow(reinterpret_cast<PyObject*>(type)); }

PyObject* sum_as_string(PyObject*, std::uint32_t a, std::uint32_t b) {
    // Exact: the sum of two 32-bit values needs 33 bits.
    const std::uint64_t sum = static_cast<std::uint64_t>(a) + b;
    return fast_path::new_ascii_str(core::digit_count(sum),
                                    [&](char* out) { core::put_unsigned(out, sum); });
}

constexpr std::string_view kSumParams[] = {"a", "b"};
constexpr Signature kSumSignature{"", "sum_as_string", kSumParams};

PyMethodDef kSumDef = method_def<kSumSignature, receiver::None,
                                 CallWith<sum_as_string, param::Of<core::Kind::U32>,
                                          param::Of<core::Kind::U32>>>();

PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT, "sonvex_rs", "", 0, nullptr,
                          nullptr,              nullptr,     nullptr, nullptr};

// A function object of sum_as_string whose __module__ is `module_name`.
bool add_function(PyObject* module, const char* module_name) {
    Ref name = Ref::steal(PyUnicode_FromString(module_name));
    if (!name) return false;
    return add_to_module(module, "sum_as_string",
                         Ref::steal(PyCFunction_NewEx(&kSumDef, module, name.get())));
}

Ref build_module() {
    Ref module = Ref::steal(PyModule_Create(&kModuleDef));
    // Set explicitly: not every interpreter keeps an empty docstring.
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    if (!module || !empty || PyObject_SetAttrString(module.get(), "__doc__", empty.get()) < 0 ||
        !add_function(module.get(), "sonvex_rs"))
        return {};

    Ref client = Ref::steal(PyModule_New("client"));
    if (!client || !add_to_module(client.get(), "SonvexClient", borrow_class(client_type())) ||
        !add_function(client.get(), "client") ||
        !add_to_module(module.get(), "client", client))
        return {};

    Ref commands = Ref::steal(PyModule_New("commands"));
    if (!commands || !add_to_module(commands.get(), "Command", borrow_class(command_type())) ||
        !add_to_module(module.get(), "commands", commands))
        return {};
    return module;
}

}  // namespace

}  // namespace sonvex

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_sonvex_rs() {
    using namespace sonvex;
    return guarded(static_cast<PyObject*>(nullptr), []() -> PyObject* {
#if !defined(PYPY_VERSION)
        // The module tree, its classes and the readers exist once per
        // process, for the main interpreter. A subinterpreter that shared
        // them would clear the main interpreter's module when it ends.
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            PyErr_SetString(PyExc_ImportError,
                            "Module sonvex_rs cannot be imported in a subinterpreter: it supports "
                            "the main interpreter only");
            return nullptr;
        }
#endif
        // Built once per process; a later import gets the same module object.
        static PyObject* built = nullptr;
        if (built) return new_ref(built);
        Ref module = build_module();
        if (!module) return nullptr;
        built = module.release();
        return new_ref(built);
    });
}
