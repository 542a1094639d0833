// Binding of arguments, their conversion errors, docstrings and borrow flags.

#include "frame/binding.hpp"

#include <deque>
#include <string>
#include <vector>

namespace sonvex {

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

}  // namespace sonvex
