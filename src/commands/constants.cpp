// The constant classes: AudioFormatType, PayloadType, ToneType and
// ConstantWithDescription, one per constant kind of the kinds table. An
// object holds a pointer to a constant of the protocol; the classes define
// nothing of their own for Python beyond refusing construction, subclassing
// and attribute assignment.

#include <array>

#include "commands/value_classes.hpp"
#include "frame/classes.hpp"

namespace sonvex {

namespace {

struct ConstantObject {
    PyObject_HEAD
    const core::Constant* constant;
};

PyObject* constant_new(PyTypeObject* type, PyObject*, PyObject*) {
    return raise_no_constructor(type);
}

PyMethodDef kConstantMethods[] = {kRefuseSubclassMethod, {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyTypeObject* constant_type(core::Kind kind) {
    static std::array<LazyClass, core::kKindCount> types;
    if (core::family_of(kind) != core::Family::Constant) fail_internal("not a constant kind");
    return types[static_cast<std::size_t>(kind)].get([kind] {
        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(constant_new)},
            {Py_tp_setattro, reinterpret_cast<void*>(refuse_setattr)},
            {Py_tp_methods, kConstantMethods},
            layout_init_slot<sizeof(ConstantObject)>(),
            {0, nullptr},
        };
        return create_type("sonvex_rs", core::class_name_of(kind), sizeof(ConstantObject), 0,
                           slots);
    });
}

bool to_constant(core::Kind kind, PyObject* o, const core::Constant*& constant) {
    PyTypeObject* type = constant_type(kind);
    if (!type || !to_instance(o, type)) return false;
    constant = reinterpret_cast<ConstantObject*>(o)->constant;
    if (!constant) {  // made by PyPy's object.__new__
        raise_conversion_error(o, type_name(type));
        return false;
    }
    return true;
}

}  // namespace sonvex
