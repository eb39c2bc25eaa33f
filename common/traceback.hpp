// Traceback entries for compiled code: each exception passing through a
// method gains a frame naming the method, our module's file name and the line
// of the failing statement, as interpreter code would.
#pragma once

#include "ref.hpp"

namespace qalvo {

/// Adds an entry (dotted function name, line) to the pending exception's
/// traceback. Keeps the pending exception whatever happens.
void add_traceback(PyObject* dotted_name, int line) noexcept;

}  // namespace qalvo
