// The `with` statement for compiled bodies, honouring the context-manager
// protocol in full: __enter__ and __exit__ are looked up on the type, an
// exception raised in the block reaches __exit__ as (type, value, traceback)
// and is suppressed when __exit__ returns a true value.
#pragma once

#include "function.hpp"

namespace qalvo {

/// type(obj).<name> bound to obj, or an empty Ref when the type lacks it.
Ref lookup_special(PyObject* obj, const char* name);

/// Calls manager.__enter__() and returns manager.__exit__ (bound).
Ref enter_context(PyObject* manager);

/// Hands the exception being raised out of a `with` block to `exit`. Returns
/// the exception object when __exit__ suppressed it; otherwise re-raises it
/// (throws) with this call's traceback entry already in place.
Ref exit_context_with_error(Call& call, PyObject* exit);

/// Raises `exception` (an exception instance) again, keeping its traceback.
[[noreturn]] void reraise(PyObject* exception);

/// `with manager: body()`. Returns the exception that __exit__ suppressed, or
/// an empty Ref when the block completed.
template <class Block>
Ref with_block(Call& call, PyObject* manager, Block&& block) {
    Ref exit = enter_context(manager);
    try {
        block();
    } catch (PythonError&) {
        return exit_context_with_error(call, exit);
    }
    Ref none_ = none();
    qalvo::call(exit, none_, none_, none_);
    return Ref();
}

}  // namespace qalvo
