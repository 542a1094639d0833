// The call frame: internal failures and PanicException, names and common
// errors, binding, converters, borrow flags and the helpers every class uses.

#include "frame.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "core/output.hpp"

namespace sonvex {

// ---------------------------------------------------------------------------
// Internal failures

void fail_internal(std::string text, const char* file, int line) {
    throw InternalFailure{std::move(text), file, line};
}

namespace {

constexpr const char* kPanicDoc =
    "Raised when the compiled code of sonvex_rs, called from Python, fails in a way that\n"
    "is not an ordinary Python error (a broken internal invariant).\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "will typically propagate all the way through the stack and cause the interpreter\n"
    "to exit.";

constexpr const char* kPanicWithoutText = "internal failure without a description";

void write_stderr(const std::string& text) { core::write_all(core::kStderr, text); }

std::string thread_description() {
    return "thread " + std::to_string(static_cast<long>(::syscall(SYS_gettid)));
}

// Raises PanicException with `message` (a str).
void set_panic(PyObject* message) {
    PyObject* type = panic_exception_type();
    if (!type) return;
    Ref instance = Ref::steal(PyObject_CallFunctionObjArgs(type, message, nullptr));
    if (instance) PyErr_SetObject(type, instance.get());
}

}  // namespace

PyObject* panic_exception_type() {
    static LazyClass type;
    return reinterpret_cast<PyObject*>(type.get([] {
        return PyErr_NewExceptionWithDoc("sonvex_rs.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    }));
}

PyObject* raise_panic(const std::string& text, const char* file, int line) {
    PyErr_Clear();
    const std::string shown = text.empty() ? kPanicWithoutText : text;
    write_stderr("sonvex_rs: internal failure in " + thread_description() + " at " + file + ":" +
                 std::to_string(line) + ":\n" + shown + "\n");
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(shown.data(),
                                                  static_cast<Py_ssize_t>(shown.size()),
                                                  "replace"));
    if (message) set_panic(message.get());
    return nullptr;
}

void raise_from_current_exception() {
    try {
        throw;
    } catch (const InternalFailure& failure) {
        raise_panic(failure.text, failure.file, failure.line);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what(), __FILE__, __LINE__);
    } catch (...) {
        raise_panic("", __FILE__, __LINE__);
    }
}

bool run_signal_handlers() {
#if defined(PYPY_VERSION)
    // PyPy's PyErr_CheckSignals runs nothing: PyPy runs pending handlers
    // between the bytecodes of Python code. Calling a function of Python code
    // that does nothing runs them now, and a handler's exception comes out of
    // that call.
    static PyObject* nothing = nullptr;  // kept for the life of the process
    if (!nothing) {
        Ref scope = Ref::steal(PyDict_New());
        if (!scope) return false;
        nothing = PyRun_String("lambda: None", Py_eval_input, scope.get(), scope.get());
        if (!nothing) return false;
    }
    return Ref::steal(PyObject_CallNoArgs(nothing)) ? true : false;
#else
    return PyErr_CheckSignals() == 0;
#endif
}

// ---------------------------------------------------------------------------
// Names and common errors

std::string type_name(PyTypeObject* type, const char* attribute) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (utf8) return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

void raise_error(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(),
                                               static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
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

void raise_conversion_error(PyObject* value, std::string_view target) {
    std::string message = "'";
    message += type_name(Py_TYPE(value));
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    raise_error(PyExc_TypeError, message);
}

bool refuse_class(PyTypeObject* type, PyTypeObject* expected) {
    if (!expected) return false;  // the class could not be created; its error is set
    const std::string name = type_name(type), base = type_name(expected);
    raise_error(PyExc_TypeError, base + ".__new__(" + name + "): " + name +
                                     " is not a subtype of " + base);
    return false;
}

PyObject* raise_no_constructor(PyTypeObject* type) {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        raise_error(PyExc_TypeError, "No constructor defined for " + type_name(type, "__name__"));
        return nullptr;
    });
}

// ---------------------------------------------------------------------------
// Binding

namespace {

std::string display_name(const Signature& sig) {
    std::string out(sig.owner);
    out += sig.name;
    out += "()";
    return out;
}

std::string quoted_list(const std::string* names, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

int find_param(const Signature& sig, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (!text) {
        PyErr_Clear();  // not encodable, so no parameter has this name
        return -1;
    }
    std::string_view name(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < sig.params.size(); ++i)
        if (sig.params[i] == name) return static_cast<int>(i);
    return -1;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
    const std::size_t count = sig.params.size();
    const auto given = static_cast<std::size_t>(nargs);
    if (count == 0 && (nargs > 0 || (kwnames && PyTuple_GET_SIZE(kwnames) > 0))) {
        // As the interpreter words it for a C function without parameters:
        // keywords are refused first, whatever positional arguments came.
        if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
            PyErr_Format(PyExc_TypeError, "%s takes no keyword arguments",
                         display_name(sig).c_str());
        else
            PyErr_Format(PyExc_TypeError, "%s takes no arguments (%zd given)",
                         display_name(sig).c_str(), nargs);
        return false;
    }
    if (given > count) {
        std::string message = display_name(sig) + " takes " + std::to_string(count) +
                              " positional arguments but " + std::to_string(nargs) +
                              (nargs == 1 ? " was" : " were") + " given";
        raise_error(PyExc_TypeError, message);
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) bound[i] = i < given ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            int index = find_param(sig, keyword);
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                             display_name(sig).c_str(), keyword);
                return false;
            }
            if (bound[index]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'",
                             display_name(sig).c_str(), keyword);
                return false;
            }
            bound[index] = args[nargs + k];
        }
    }
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < count; ++i)
        if (!bound[i]) missing.emplace_back(sig.params[i]);
    if (missing.empty()) return true;
    std::string message = display_name(sig) + " missing " + std::to_string(missing.size()) +
                          " required positional " +
                          (missing.size() == 1 ? "argument" : "arguments") + ": " +
                          quoted_list(missing.data(), missing.size());
    raise_error(PyExc_TypeError, message);
    return false;
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** bound,
                    Ref& keep) {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    const Py_ssize_t nkw = kwargs ? PyDict_Size(kwargs) : 0;
    // The positional tuple cannot change; the keyword values are held in a
    // tuple of our own for the whole call.
    std::vector<PyObject*> flat(static_cast<std::size_t>(nargs + nkw) + 1);
    for (Py_ssize_t i = 0; i < nargs; ++i) flat[i] = PyTuple_GET_ITEM(args, i);
    Ref kwnames;
    if (nkw > 0) {
        kwnames = Ref::steal(PyTuple_New(nkw));
        keep = Ref::steal(PyTuple_New(nkw));
        if (!kwnames || !keep) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k, new_ref(key));
            PyTuple_SET_ITEM(keep.get(), k, new_ref(value));
            flat[nargs + k++] = value;
        }
    }
    return bind_arguments(sig, flat.data(), nargs, kwnames.get(), bound);
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

const char* constructor_doc(const Signature& sig) {
    std::string_view owner = sig.owner;
    if (owner.ends_with('.')) owner.remove_suffix(1);
    return signature_doc(owner, sig.params, false);
}

// ---------------------------------------------------------------------------
// Conversion errors

namespace {

// A PanicException raised by Python code that the module called (say an
// __index__ method) is not an ordinary error: report it with its Python
// traceback and go on failing as an internal failure of the module.
void resume_panic(PyObject* type, PyObject* value, PyObject* traceback) {
    write_stderr("sonvex_rs: PanicException raised by Python code called from " +
                 thread_description() + "; resuming it. Python stack trace:\n");
    Ref message = Ref::steal(PyObject_Str(value));
    PyErr_Restore(type, value, traceback);  // steals all three
    PyErr_PrintEx(0);
    if (!message) {
        PyErr_Clear();
        message = Ref::steal(PyUnicode_FromString(kPanicWithoutText));
        if (!message) return;
    }
    set_panic(message.get());
}

}  // namespace

bool argument_failed(std::string_view param) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return false;
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* panic = panic_exception_type();
    if (panic && value && PyErr_GivenExceptionMatches(type, panic)) {
        resume_panic(type, value, traceback);
        return false;
    }
    if (type != PyExc_TypeError || !value) {
        PyErr_Restore(type, value, traceback);
        return false;
    }
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value),
        owned_traceback = Ref::steal(traceback);
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text) return false;
    std::string prefix = "argument '";
    prefix += param;
    prefix += "': ";
    Ref message = Ref::steal(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()));
    if (!message) return false;
    Ref replacement = Ref::steal(
        PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return false;
    if (PyObject* cause = PyException_GetCause(value))  // new reference, stolen below
        PyException_SetCause(replacement.get(), cause);
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return false;
}

// ---------------------------------------------------------------------------
// Converters

void raise_out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

void raise_line_break(std::string_view param) {
    std::string message = "Line break in text argument: ";
    message += param;
    raise_error(PyExc_ValueError, message);
}

namespace {

bool attribute_equals(PyObject* object, const char* attribute, std::initializer_list<const char*> texts) {
    Ref value = Ref::steal(PyObject_GetAttrString(object, attribute));
    if (!value || !PyUnicode_Check(value.get())) {
        PyErr_Clear();
        return false;
    }
    const char* utf8 = PyUnicode_AsUTF8(value.get());
    if (!utf8) {
        PyErr_Clear();
        return false;
    }
    for (const char* text : texts)
        if (std::strcmp(utf8, text) == 0) return true;
    return false;
}

// numpy's boolean scalar converts through its __bool__.
bool is_numpy_bool(PyTypeObject* type) {
    auto* t = reinterpret_cast<PyObject*>(type);
    return attribute_equals(t, "__name__", {"bool_", "bool"}) &&
           attribute_equals(t, "__module__", {"numpy"});
}

}  // namespace

bool to_bool_slow(PyObject* o, bool& out) {
    if (!is_numpy_bool(Py_TYPE(o))) {
        raise_conversion_error(o, "PyBool");
        return false;
    }
    Ref method = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)),
                                                   "__bool__"));
    if (!method) {
        PyErr_Clear();
        std::string message = "object of type '" + type_name(Py_TYPE(o)) +
                              "' does not define a '__bool__' conversion";
        raise_error(PyExc_TypeError, message);
        return false;
    }
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), o, nullptr));
    if (!result) return false;
    if (result.get() != Py_True && result.get() != Py_False) {
        raise_conversion_error(result.get(), "PyBool");
        return false;
    }
    out = result.get() == Py_True;
    return true;
}


// ---------------------------------------------------------------------------
// Borrow flags

bool SharedUse::take(BorrowFlag& flag) {
    if (flag.state < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
    }
    ++flag.state;
    return true;
}

bool ExclusiveUse::take(BorrowFlag& flag) {
    if (flag.state != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
    }
    flag.state = -1;
    return true;
}

// ---------------------------------------------------------------------------
// Class helpers

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
    return type;
}

}  // namespace sonvex
