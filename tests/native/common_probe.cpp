// A module over the extension runtime in common/, for tests of what the two
// modules' surface cannot reach: it is compiled by the test itself.
#include "function.hpp"
#include "module.hpp"

#include <deque>
#include <string>

using namespace qalvo;

namespace {

Ref return_none(Call&, PyObject* const*) { return none(); }

/// wide(n): make_function for a function of n positional parameters.
PyObject* wide(PyObject*, PyObject* count) {
    static std::deque<std::string> names;
    static std::deque<FunctionSpec> specs;
    const long n = PyLong_AsLong(count);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    std::vector<const char*> parameters;
    for (long i = 0; i < n; ++i) {
        names.push_back("p" + std::to_string(i));
        parameters.push_back(names.back().c_str());
    }
    specs.push_back(FunctionSpec{"wide", "wide", 1, parameters, nullptr, {}, nullptr,
                                 return_none});
    try {
        return make_function(specs.back()).release();
    } catch (PythonError&) {
        return nullptr;
    }
}

PyMethodDef kWide = {"wide", wide, METH_O, nullptr};

void exec_body(ModuleInit&) {
    Ref function = own(PyCFunction_New(&kWide, nullptr));
    set_global(own(PyUnicode_InternFromString("wide")), function);
}

const ModuleDescription kDescription = {"common_probe", "common_probe", "common_probe",
                                        exec_body};

}  // namespace

PyMODINIT_FUNC PyInit_common_probe(void) { return module_definition(kDescription); }
