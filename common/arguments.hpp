// Binding of vectorcall arguments to a FunctionSpec's parameters, with the
// interpreter's wording for every kind of bad call.
#pragma once

#include "function.hpp"

namespace qalvo {

/// Upper bound on parameters of one function (RampNet.__init__ has 17).
constexpr Py_ssize_t kMaxParams = 24;

/// Storage for one binding. On the fast path (exactly the positional
/// arguments, nothing else) the caller's array is used as it is; otherwise the
/// slots are filled here, with references held to everything borrowed from
/// objects the callee could rebind meanwhile (defaults, kwdefaults, *args).
class BoundArguments {
public:
    /// Binds; raises TypeError (and throws) on a bad call.
    PyObject* const* bind(const FunctionSpec& spec, PyObject* defaults, PyObject* kwdefaults,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

private:
    PyObject* slots_[kMaxParams];
    Ref defaults_;
    Ref varargs_;
    Ref kw_held_[kMaxParams];
};

// The four messages, each raised in the interpreter's wording (bare name).
[[noreturn]] void raise_arg_count(const char* name, bool exact, Py_ssize_t min, Py_ssize_t max,
                                  Py_ssize_t given);
[[noreturn]] void raise_unexpected_keyword(const char* name, PyObject* keyword);
[[noreturn]] void raise_multiple_values(const char* name, PyObject* keyword);
[[noreturn]] void raise_keywords_not_strings(const char* name);

}  // namespace qalvo
