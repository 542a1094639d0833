// What every class of the module shares: class objects made on first use,
// heap types from a spec with the module's naming, refusal of subclassing,
// construction and attribute assignment, and the checks that an object
// handed to a slot or an argument is of one of the module's classes.
// Implemented in classes.cpp.
#pragma once

#include <span>
#include <string_view>

#include "frame/errors.hpp"

namespace sonvex {

// A class object created on first use and kept for the life of the process.
class LazyClass {
public:
    // The class (borrowed), creating it with `create` on first use; nullptr
    // with the error set if that fails (the next call tries again).
    template <class Create>
    PyTypeObject* get(Create&& create) {
        if (!type_) type_ = create();
        return reinterpret_cast<PyTypeObject*>(type_);
    }

private:
    PyObject* type_ = nullptr;
};

// Creates a heap type from its spec; `name` is the bare class name. The spec
// gets the dotted name "<module>.<name>", so that the class's __name__ and
// __qualname__ are the bare name and __module__ is `module`. Returns a new
// reference or nullptr with the error set.
PyObject* create_type(std::string_view module, std::string_view name, int basicsize,
                      unsigned flags, std::span<PyType_Slot> slots, PyObject* base = nullptr);

// Refuses every attribute assignment and deletion on instances, with the
// interpreter's own wording.
int refuse_setattr(PyObject* self, PyObject* name, PyObject* value);

// __init_subclass__ for classes that cannot be subclassed (the interpreter
// does not refuse it everywhere by itself).
extern PyMethodDef kRefuseSubclassMethod;

// TypeError "No constructor defined for <class's __name__>".
PyObject* raise_no_constructor(PyTypeObject* type);

// TypeError "<expected>.__new__(<type>): <type> is not a subtype of
// <expected>"; returns false.
bool refuse_class(PyTypeObject* type, PyTypeObject* expected);

// For slots the interpreter may call with an object of another class:
// TypeError "descriptor '<slot>' requires a '<class>' object but received a
// '<other>'" unless `self` is an instance of `type`.
bool check_self(PyObject* self, PyTypeObject* type, const char* slot);

// An argument that must be an instance of `type` (or a subclass), whose
// value the caller copies; otherwise the conversion error naming the class.
inline bool to_instance(PyObject* o, PyTypeObject* type) {
    if (Py_TYPE(o) == type || PyType_IsSubtype(Py_TYPE(o), type)) return true;
    raise_conversion_error(o, type_name(type));
    return false;
}

}  // namespace sonvex
