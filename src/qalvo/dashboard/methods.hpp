// The methods of InsightBoard, one FunctionSpec each, defined in the source
// file of their panel; module.cpp assembles the class from them. Also the
// small helpers every panel builds its widget tree with.
#pragma once

#include "function.hpp"
#include "globals.hpp"
#include "names.hpp"

namespace insight_board {

using qalvo::FunctionSpec;
using qalvo::Ref;

extern const FunctionSpec kInit;             // board.cpp
extern const FunctionSpec kPdpAlePanel;      // effects.cpp
extern const FunctionSpec kViPanel;          // importance.cpp
extern const FunctionSpec kLocalPanel;       // local.cpp
extern const FunctionSpec kExplainAllPanel;  // explain_all.cpp

/// widgets.<name>, read through the module global at this moment.
inline Ref widget_type(PyObject* name) { return qalvo::getattr(qalvo::global(S.widgets), name); }

/// widgets.Layout(<keywords>=values...).
template <class... A>
Ref layout(PyObject* kwnames, const A&... values) {
    Ref type = widget_type(S.Layout);
    return qalvo::call_kw(type, kwnames, values...);
}

/// QalvoWidget.<name>(args...): a spacer or a rule, through the class.
template <class... A>
Ref qalvo_widget(PyObject* name, const A&... args) {
    Ref cls = qalvo::global(S.QalvoWidget);
    return qalvo::call_method(cls, name, args...);
}

/// widgets.<type>([children...], layout=layout), or without layout when it is null.
template <class... A>
Ref box(PyObject* type_name, PyObject* layout_or_null, const A&... children) {
    Ref type = widget_type(type_name);
    Ref items = qalvo::list(children...);
    if (layout_or_null == nullptr) return qalvo::call(type, items);
    return qalvo::call_kw(type, C.kw_layout, items, layout_or_null);
}

/// widgets.HTML(value).
inline Ref html(PyObject* value) {
    Ref type = widget_type(S.HTML);
    return qalvo::call(type, value);
}

/// display(obj), through the module global.
inline void display(PyObject* obj) { qalvo::call(qalvo::global(S.display), obj); }

/// clear_output(), through the module global.
inline void clear_output() { qalvo::call(qalvo::global(S.clear_output)); }

/// {"description_width": "initial"}: a new dict on every use, as a literal is.
inline Ref initial_description_style() {
    Ref style = qalvo::own(PyDict_New());
    qalvo::setitem(style, S.description_width, C.initial);
    return style;
}

/// A dict mapping a callback's keyword names to the controls driving it.
template <class... A>
Ref controls(const A&... key_then_control) {
    Ref mapping = qalvo::own(PyDict_New());
    PyObject* items[] = {qalvo::as_ptr(key_then_control)...};
    for (size_t i = 0; i + 1 < sizeof...(A); i += 2) qalvo::setitem(mapping, items[i], items[i + 1]);
    return mapping;
}

}  // namespace insight_board

namespace insight_board {

/// `a == b` as a condition: the rich comparison's result, then its truth.
inline bool equals(PyObject* a, PyObject* b) {
    return qalvo::truth(qalvo::richcompare(a, b, Py_EQ));
}

/// widgets.interactive_output(callback, mapping): runs the callback once now
/// and again on every change of a mapped control.
inline Ref live_output(PyObject* callback, PyObject* mapping) {
    Ref make = widget_type(S.interactive_output);
    return qalvo::call(make, callback, mapping);
}

}  // namespace insight_board
