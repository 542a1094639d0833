// Helpers every class of the module uses.

#include "frame/classes.hpp"

#include <cstring>
#include <deque>
#include <string>

namespace sonvex {

namespace {

// Some interpreters (PyPy 7.3 for Python 3.11) drop the docstring of a class
// made from a spec, and with it the "Name(...)\n--\n\n" line that gives
// inspect the constructor's signature. Where the class came out without a
// signature, its docstring is set as a class attribute, from which the
// interpreter reads the signature.
bool keep_signature(PyObject* type, std::span<PyType_Slot> slots) {
    for (const PyType_Slot& slot : slots) {
        if (slot.slot != Py_tp_doc || !slot.pfunc) continue;
        const char* text = static_cast<const char*>(slot.pfunc);
        if (!std::strstr(text, ")\n--\n\n")) return true;
        Ref signature = Ref::steal(PyObject_GetAttrString(type, "__text_signature__"));
        if (!signature) {
            PyErr_Clear();
        } else if (signature.get() != Py_None) {
            return true;
        }
        Ref doc = Ref::steal(PyUnicode_FromString(text));
        return doc && PyObject_SetAttrString(type, "__doc__", doc.get()) == 0;
    }
    return true;
}

}  // namespace

PyObject* create_type(std::string_view module, std::string_view name, int basicsize,
                      unsigned flags, std::span<PyType_Slot> slots, PyObject* base) {
    // The interpreter keeps pointing at the spec's name: keep it for good.
    static std::deque<std::string> names;
    std::string& full = names.emplace_back(module);
    full += '.';
    full += name;
    PyType_Spec spec{full.c_str(), basicsize, 0, static_cast<unsigned>(Py_TPFLAGS_DEFAULT | flags),
                     slots.data()};
    PyObject* type;
    if (!base) {
        type = PyType_FromSpec(&spec);
    } else {
        Ref bases = Ref::steal(PyTuple_Pack(1, base));
        if (!bases) return nullptr;
        type = PyType_FromSpecWithBases(&spec, bases.get());
    }
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030A0000
    // CPython 3.9 stores a class's docstring without its "Name(...)\n--\n\n"
    // signature line, which leaves __text_signature__ None. Keep the whole
    // text, as later versions do (__doc__ is already set without it).
    if (type) {
        for (const PyType_Slot& slot : slots) {
            if (slot.slot != Py_tp_doc || !slot.pfunc) continue;
            const char* doc = static_cast<const char*>(slot.pfunc);
            std::size_t size = std::strlen(doc) + 1;
            char* copy = static_cast<char*>(PyObject_Malloc(size));
            if (!copy) {
                Py_DECREF(type);
                return PyErr_NoMemory();
            }
            std::memcpy(copy, doc, size);
            auto* t = reinterpret_cast<PyTypeObject*>(type);
            PyObject_Free(const_cast<char*>(t->tp_doc));
            t->tp_doc = copy;
        }
    }
#endif
    if (type && !keep_signature(type, slots)) {
        Py_DECREF(type);
        return nullptr;
    }
    return type;
}

int refuse_setattr(PyObject* self, PyObject* name, PyObject*) {
    return guarded(-1, [&] {
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%s'",
                         type_name(Py_TYPE(name)).c_str());
            return -1;
        }
        const std::string cls = type_name(Py_TYPE(self));
        if (PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name))
            PyErr_Format(PyExc_AttributeError, "attribute '%U' of '%s' objects is not writable",
                         name, cls.c_str());
        else
            PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'", cls.c_str(),
                         name);
        return -1;
    });
}

namespace {

PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        // The class being created is `cls`; name the first of the module's
        // classes in its method resolution order that may not be subclassed
        // (PyPy does not mark its own Python classes as acceptable bases).
        Ref mro = Ref::steal(PyObject_GetAttrString(cls, "__mro__"));
        if (!mro) return nullptr;
        std::string base = "?";
        if (PyTuple_Check(mro.get())) {
            for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(mro.get()); ++i) {
                PyObject* t = PyTuple_GET_ITEM(mro.get(), i);
                if (PyType_Check(t) &&
                    reinterpret_cast<PyTypeObject*>(t)->tp_setattro == refuse_setattr &&
                    !(PyType_GetFlags(reinterpret_cast<PyTypeObject*>(t)) & Py_TPFLAGS_BASETYPE)) {
                    base = type_name(reinterpret_cast<PyTypeObject*>(t));
                    break;
                }
            }
        }
        PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", base.c_str());
        return nullptr;
    });
}

}  // namespace

PyMethodDef kRefuseSubclassMethod = {
    "__init_subclass__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refuse_subclass)),
    METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr};

PyObject* raise_no_constructor(PyTypeObject* type) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        raise_error(PyExc_TypeError, "No constructor defined for " + type_name(type, "__name__"));
        return nullptr;
    });
}

bool refuse_class(PyTypeObject* type, PyTypeObject* expected) {
    if (!expected) return false;  // the class could not be created; its error is set
    const std::string name = type_name(type), base = type_name(expected);
    raise_error(PyExc_TypeError, base + ".__new__(" + name + "): " + name +
                                     " is not a subtype of " + base);
    return false;
}

bool check_self(PyObject* self, PyTypeObject* type, const char* slot) {
    if (type && laid_out_as(self, type)) return true;
    return wrong_self(self, type, slot);
}

bool wrong_self(PyObject* self, PyTypeObject* type, const char* slot) {
    if (!type) return false;  // the class could not be created; its error is set
    std::string message = "descriptor '";
    message += slot;
    message += "' requires a '";
    message += type_name(type);
    message += "' object but received a '";
    message += type_name(Py_TYPE(self));
    message += "'";
    raise_error(PyExc_TypeError, message);
    return false;
}

}  // namespace sonvex
