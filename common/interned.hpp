// Interned attribute and global names, declared once per module with an
// X-macro list: X(identifier) for names that are C++ identifiers,
// XS(identifier, "text") for the others.
#pragma once

#include "ref.hpp"

namespace qalvo {

/// Interns `text` (kept for the life of the process).
inline PyObject* intern(const char* text) { return own(PyUnicode_InternFromString(text)).release(); }

/// A tuple of interned keyword names for call_kw (kept for the life of the process).
template <class... S>
PyObject* kwnames(const S*... names) {
    return tuple(Ref::steal(intern(names))...).release();
}

}  // namespace qalvo

#define QALVO_DECLARE_NAME(id) PyObject* id = nullptr;
#define QALVO_DECLARE_NAME_S(id, text) PyObject* id = nullptr;
#define QALVO_INTERN_NAME(id) names.id = ::qalvo::intern(#id);
#define QALVO_INTERN_NAME_S(id, text) names.id = ::qalvo::intern(text);
