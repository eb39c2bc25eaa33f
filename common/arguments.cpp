#include "arguments.hpp"

namespace qalvo {

void raise_arg_count(const char* name, bool exact, Py_ssize_t min, Py_ssize_t max,
                     Py_ssize_t given) {
    Py_ssize_t expected = given < min ? min : max;
    const char* more_or_less = exact ? "exactly" : (given < min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, more_or_less, expected, expected == 1 ? "" : "s", given);
    throw_pending();
}

void raise_unexpected_keyword(const char* name, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, keyword);
    throw_pending();
}

void raise_multiple_values(const char* name, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name,
                 keyword);
    throw_pending();
}

void raise_keywords_not_strings(const char* name) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
    throw_pending();
}

namespace {

/// Slot index of the parameter called `key`, or -1. Keyword-only parameters
/// sit after the positional ones and the *args slot.
Py_ssize_t find_parameter(const FunctionSpec& spec, PyObject* key) {
    const Py_ssize_t npos = static_cast<Py_ssize_t>(spec.positional.size());
    const Py_ssize_t kwonly_base = npos + (spec.varargs ? 1 : 0);
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t i = 0; i < npos; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, spec.positional[i]) == 0) return i;
    }
    for (size_t j = 0; j < spec.kwonly.size(); ++j) {
        if (PyUnicode_CompareWithASCIIString(key, spec.kwonly[j]) == 0) {
            return kwonly_base + static_cast<Py_ssize_t>(j);
        }
    }
    return -1;
}

enum class KeywordError { none, not_string, multiple, unexpected };

}  // namespace

PyObject* const* BoundArguments::bind(const FunctionSpec& spec, PyObject* defaults,
                                      PyObject* kwdefaults, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t npos = static_cast<Py_ssize_t>(spec.positional.size());
    const Py_ssize_t nkwonly = static_cast<Py_ssize_t>(spec.kwonly.size());
    const bool has_varargs = spec.varargs != nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    // Fast path: exactly the positional arguments; borrow the caller's array.
    if (nkw == 0 && nargs == npos && !has_varargs && nkwonly == 0) return args;

    defaults_ = newref(defaults);  // the callee may rebind __defaults__ meanwhile
    const Py_ssize_t ndefaults =
        (defaults && PyTuple_Check(defaults)) ? PyTuple_GET_SIZE(defaults) : 0;
    const Py_ssize_t nrequired = npos > ndefaults ? npos - ndefaults : 0;
    const bool exact = ndefaults == 0 && !has_varargs;
    const Py_ssize_t max = has_varargs ? PY_SSIZE_T_MAX : npos;

    if (!has_varargs && nargs > npos) raise_arg_count(spec.name, exact, nrequired, max, nargs);

    const Py_ssize_t nslots = npos + (has_varargs ? 1 : 0) + nkwonly;
    for (Py_ssize_t i = 0; i < nslots; ++i) slots_[i] = nullptr;
    const Py_ssize_t ncopied = nargs < npos ? nargs : npos;
    for (Py_ssize_t i = 0; i < ncopied; ++i) slots_[i] = args[i];
    if (has_varargs) {
        Py_ssize_t nextra = nargs > npos ? nargs - npos : 0;
        varargs_ = own(PyTuple_New(nextra));
        for (Py_ssize_t i = 0; i < nextra; ++i) {
            PyTuple_SET_ITEM(varargs_.get(), i, newref(args[npos + i]).release());
        }
        slots_[npos] = varargs_;
    }

    // Keywords: the first problem is remembered and reported after the check
    // for missing positional parameters, which the interpreter's wording puts first.
    KeywordError kw_error = KeywordError::none;
    PyObject* kw_error_key = nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = find_parameter(spec, key);
        KeywordError problem = KeywordError::none;
        if (slot < 0) {
            problem = PyUnicode_Check(key) ? KeywordError::unexpected : KeywordError::not_string;
        } else if (slots_[slot] != nullptr) {
            problem = KeywordError::multiple;
        } else {
            slots_[slot] = args[nargs + k];
        }
        if (problem != KeywordError::none && kw_error == KeywordError::none) {
            kw_error = problem;
            kw_error_key = key;
        }
    }

    for (Py_ssize_t i = ncopied; i < nrequired; ++i) {
        if (slots_[i] == nullptr) raise_arg_count(spec.name, exact, nrequired, max, i);
    }
    switch (kw_error) {
        case KeywordError::none: break;
        case KeywordError::not_string: raise_keywords_not_strings(spec.name);
        case KeywordError::multiple: raise_multiple_values(spec.name, kw_error_key);
        case KeywordError::unexpected: raise_unexpected_keyword(spec.name, kw_error_key);
    }

    for (Py_ssize_t i = nrequired; i < npos; ++i) {
        if (slots_[i] == nullptr) slots_[i] = PyTuple_GET_ITEM(defaults, i - (npos - ndefaults));
    }
    const Py_ssize_t kwonly_base = npos + (has_varargs ? 1 : 0);
    for (Py_ssize_t j = 0; j < nkwonly; ++j) {
        if (slots_[kwonly_base + j] != nullptr) continue;
        PyObject* value = nullptr;
        if (kwdefaults && PyDict_Check(kwdefaults)) {
            value = PyDict_GetItemString(kwdefaults, spec.kwonly[j]);
        }
        if (value == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", spec.name,
                         spec.kwonly[j]);
            throw_pending();
        }
        kw_held_[j] = newref(value);
        slots_[kwonly_base + j] = value;
    }
    return slots_;
}

}  // namespace qalvo
