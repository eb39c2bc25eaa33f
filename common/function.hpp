// The function type: compiled method bodies exposed as objects that look and
// behave like interpreter functions (signature introspection, binding to
// instances, the interpreter's wording for bad calls, traceback entries).
#pragma once

#include "ref.hpp"

#include <utility>
#include <vector>

namespace qalvo {

class Call;

/// Instance layout of our function type.
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const struct FunctionSpec* spec;
    PyObject* name;            ///< __name__
    PyObject* qualname;        ///< __qualname__
    PyObject* module;          ///< __module__
    PyObject* doc;             ///< __doc__
    PyObject* dict;            ///< __dict__ (created on demand)
    PyObject* globals;         ///< __globals__: the module namespace
    PyObject* code;            ///< __code__: describes the signature for inspect
    PyObject* defaults;        ///< __defaults__: tuple or None, read at each call
    PyObject* kwdefaults;      ///< __kwdefaults__: dict or None, read at each call
    PyObject* annotations;     ///< __annotations__ (created on demand)
    PyObject* closure;         ///< __closure__: tuple of cells or None
    PyObject* traceback_name;  ///< dotted name of traceback entries
    PyObject* weakrefs;
};

/// A body receives its bound parameters in signature order: the positional
/// parameters, then the *args tuple if any, then the keyword-only parameters.
using Body = Ref (*)(Call&, PyObject* const* args);

/// Static description of one function: everything but its default values.
struct FunctionSpec {
    const char* name;       ///< bare name, used in argument errors
    const char* qualname;   ///< "Class.method" or "Class.method.<locals>.inner"
    int first_line;         ///< code object's first line; argument errors report it
    std::vector<const char*> positional;  ///< positional-or-keyword names, self included
    const char* varargs;                  ///< name of *args, or nullptr
    std::vector<const char*> kwonly;      ///< keyword-only names
    const char* doc;                      ///< documentation string, or nullptr
    Body body;
};

/// Per-call context of a body: the traceback line of the running statement and
/// access to the closure. An exception leaving the body gains an entry with the
/// function's dotted name and this line.
class Call {
public:
    explicit Call(Function* f) noexcept;
    /// Marks the statement about to run (its traceback line).
    void L(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }
    Function* function() const noexcept { return fn_; }
    /// The value captured in closure cell i (borrowed).
    PyObject* cell(Py_ssize_t i) const noexcept;
    /// The value of closure cell i as a new reference; a cell emptied from
    /// Python (`del f.__closure__[i].cell_contents`) raises the interpreter's
    /// NameError for the free variable `name` instead of handing out NULL.
    Ref free_variable(Py_ssize_t i, const char* name) const;
    /// Adds this function's traceback entry at the current line (once).
    void add_traceback() noexcept;
    bool traceback_added() const noexcept { return traceback_added_; }
    void forget_traceback() noexcept { traceback_added_ = false; }

private:
    Function* fn_;
    int line_;
    bool traceback_added_ = false;
};

/// Creates a function object of this module. `defaults` (tuple) and
/// `kwdefaults` (dict) may be null; `closure` is a tuple of cells or null.
Ref make_function(const FunctionSpec& spec, PyObject* defaults = nullptr,
                  PyObject* kwdefaults = nullptr, PyObject* closure = nullptr);

/// A function defined inside a method, closing over `values` (each stored in a
/// cell, readable in the body as call.cell(i)).
template <class... A>
Ref make_closure(const FunctionSpec& spec, PyObject* defaults, const A&... values) {
    PyObject* captured[] = {as_ptr(values)...};
    Ref cells = own(PyTuple_New(sizeof...(A)));
    for (size_t i = 0; i < sizeof...(A); ++i) {
        PyTuple_SET_ITEM(cells.get(), static_cast<Py_ssize_t>(i), own(PyCell_New(captured[i])).release());
    }
    return make_function(spec, defaults, nullptr, cells);
}

/// Ready the function type; called from the module's exec step.
void ready_function_type();

/// At a boundary with CPython: turns the C++ exception being handled into the
/// pending Python error (PythonError as is, bad_alloc as MemoryError, anything
/// else as SystemError). Call only inside a catch block.
void set_error_from_current_exception() noexcept;

// ---- typed bodies ------------------------------------------------------------
// `body<fit>` adapts `Ref fit(Call&, PyObject* self, PyObject* x, PyObject* y)`
// to the array form above, so bodies read with named parameters.

template <class F>
struct BodyArity;
template <class... P>
struct BodyArity<Ref (*)(Call&, P...)> {
    static constexpr size_t value = sizeof...(P);
};

template <auto F, size_t... I>
Ref apply_body(Call& c, PyObject* const* a, std::index_sequence<I...>) {
    return F(c, a[I]...);
}

template <auto F>
Ref body(Call& c, PyObject* const* a) {
    return apply_body<F>(c, a, std::make_index_sequence<BodyArity<decltype(F)>::value>{});
}

}  // namespace qalvo
