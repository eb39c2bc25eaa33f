#include "classes.hpp"

#include "module.hpp"

namespace qalvo {

Ref most_derived_metaclass(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
              "subclass of the metaclasses of all its bases");
    }
    return newref(reinterpret_cast<PyObject*>(winner));
}

ClassBuilder::ClassBuilder(PyObject* name, PyObject* bases, const char* doc)
    : name_(newref(name)), bases_(newref(bases)), metaclass_(most_derived_metaclass(bases)) {
    Ref prepare = getattr_optional(metaclass_, "__prepare__");
    if (prepare) {
        namespace_ = call(prepare, name_, bases_);
    } else {
        namespace_ = own(PyDict_New());
    }
    add(own(PyUnicode_InternFromString("__module__")), module_state().full_name);
    add(own(PyUnicode_InternFromString("__qualname__")), name_);
    if (doc != nullptr) add(own(PyUnicode_InternFromString("__doc__")), py_str(doc));
}

void ClassBuilder::add(PyObject* key, PyObject* value) { setitem(namespace_, key, value); }

void ClassBuilder::add_method(const FunctionSpec& spec, PyObject* defaults,
                              PyObject* kwdefaults) {
    Ref function = make_function(spec, defaults, kwdefaults);
    add(own(PyUnicode_InternFromString(spec.name)), function);
}

Ref ClassBuilder::create() { return call(metaclass_, name_, bases_, namespace_); }

}  // namespace qalvo
