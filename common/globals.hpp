// Module-global lookup: names used inside methods are read from the module
// namespace at each use, then from the built-ins, so rebinding a global after
// loading changes what the methods call.
#pragma once

#include "ref.hpp"

namespace qalvo {

/// The value bound to `name` in the module namespace or the built-ins;
/// NameError "name '%U' is not defined" otherwise.
Ref global(PyObject* name);

/// The built-in `name`, looked up once at load time (NameError if missing).
Ref builtin(PyObject* name);

/// UnboundLocalError for reading local variable `name` before any assignment,
/// in the running interpreter's wording.
[[noreturn]] void raise_unbound_local(const char* name);

/// NameError for reading free variable `name` whose cell is empty, in the
/// running interpreter's wording.
[[noreturn]] void raise_unbound_free(const char* name);

}  // namespace qalvo
