#include "traceback.hpp"

#include "module.hpp"
#include "pending_error.hpp"

#include <frameobject.h>

#include <map>
#include <utility>

namespace qalvo {

namespace {

/// One empty code object per (name, line), kept for the life of the process:
/// its line table maps to its first line, which is what tb_lineno reports.
PyCodeObject* code_for(PyObject* dotted_name, int line) {
    static std::map<std::pair<PyObject*, int>, PyCodeObject*> cache;
    auto key = std::make_pair(dotted_name, line);
    auto found = cache.find(key);
    if (found != cache.end()) return found->second;
    const char* name = PyUnicode_AsUTF8(dotted_name);
    const char* file = PyUnicode_AsUTF8(module_state().file_name);
    if (name == nullptr || file == nullptr) return nullptr;
    PyCodeObject* code = PyCode_NewEmpty(file, name, line);
    if (code == nullptr) return nullptr;
    Py_INCREF(dotted_name);  // the key's pointer must stay valid
    cache.emplace(key, code);
    return code;
}

}  // namespace

void add_traceback(PyObject* dotted_name, int line) noexcept {
    PyFrameObject* frame = nullptr;
    {
        // Failing to build the entry must not replace the real error.
        PendingError error;
        PyCodeObject* code = code_for(dotted_name, line);
        if (code != nullptr) {
            frame = PyFrame_New(PyThreadState_Get(), code, module_state().dict, nullptr);
        }
    }
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace qalvo
