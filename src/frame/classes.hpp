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

// ---------------------------------------------------------------------------
// Layout checks, made before any field of an object is read.
//
// isinstance is not enough: on PyPy a Python class that derives from one of
// the module's classes but has a plain class first among its bases (class
// S(Plain, Command)), or that gets past the refusal of a class that may not
// be subclassed through a mixin whose __init_subclass__ does not chain up,
// gets objects of the header's size only. And PyPy's object.__new__ makes
// objects of the module's classes without running their constructor; each
// class tells those apart by a field of its own (`ready`, a member, a
// constant), which a caller checks after this one.

// Whether `o` is an instance of `type` (or of a subclass) whose class lays
// its objects out as `type` does: at least `type`'s basic size.
inline bool laid_out_as(PyObject* o, PyTypeObject* type) {
    PyTypeObject* const t = Py_TYPE(o);
    return t == type || ((t->tp_base == type || PyType_IsSubtype(t, type)) &&
                         t->tp_basicsize >= type->tp_basicsize);
}

// For slots and methods, which the interpreter may call with an object of
// another class: TypeError "descriptor '<slot>' requires a '<class>' object
// but received a '<other>'" unless `self` is laid out as an object of
// `type`. wrong_self raises that error alone, for an object of the right
// layout that no constructor of the module made.
bool check_self(PyObject* self, PyTypeObject* type, const char* slot);
bool wrong_self(PyObject* self, PyTypeObject* type, const char* slot);

// The last entry of a class's slots before the terminator, for a class
// whose objects are `Size` bytes. On PyPy, calling a Python class that
// derives from the class with a plain class or a mixin first makes an
// object of the header's size without the class's tp_new, and then calls
// __init__: this tp_init refuses such an object with "No constructor
// defined for <class>", as a call of such a subclass is refused elsewhere.
// The other interpreters refuse those calls by themselves, and there the
// entry is a second terminator.
template <std::size_t Size>
int refuse_foreign_layout(PyObject* self, PyObject*, PyObject*) noexcept {
    if (static_cast<std::size_t>(Py_TYPE(self)->tp_basicsize) >= Size) return 0;
    raise_no_constructor(Py_TYPE(self));
    return -1;
}
template <std::size_t Size>
PyType_Slot layout_init_slot() {
#if defined(PYPY_VERSION)
    return {Py_tp_init, reinterpret_cast<void*>(refuse_foreign_layout<Size>)};
#else
    return {0, nullptr};
#endif
}

// An argument that must be an instance of `type` (or a subclass) laid out
// as `type`'s objects, whose value the caller copies (and refuses an object
// that no constructor of the module made with the same conversion error);
// otherwise the conversion error naming the class.
inline bool to_instance(PyObject* o, PyTypeObject* type) {
    if (laid_out_as(o, type)) return true;
    raise_conversion_error(o, type_name(type));
    return false;
}

}  // namespace sonvex
