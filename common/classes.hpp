// Class creation at load time, as the interpreter's class statement does it:
// the most derived metaclass of the bases, its __prepare__, then a call of the
// metaclass with (name, bases, namespace).
#pragma once

#include "function.hpp"

namespace qalvo {

/// The most derived of type(base) for each base, starting from `type`;
/// TypeError "metaclass conflict: ..." when two are unrelated.
Ref most_derived_metaclass(PyObject* bases);

class ClassBuilder {
public:
    /// Prepares the namespace of class `name` (a str) with `bases` (a tuple),
    /// holding __module__ and __qualname__ (and __doc__ when given).
    ClassBuilder(PyObject* name, PyObject* bases, const char* doc = nullptr);
    void add(PyObject* key, PyObject* value);
    /// Adds a method made from `spec` under its bare name.
    void add_method(const FunctionSpec& spec, PyObject* defaults = nullptr,
                    PyObject* kwdefaults = nullptr);
    /// Calls the metaclass and returns the class.
    Ref create();

private:
    Ref name_;
    Ref bases_;
    Ref metaclass_;
    Ref namespace_;
};

}  // namespace qalvo
