// scikit-learn's joint input check as the installed release offers it: the
// function sklearn.utils.validation.validate_data(estimator, ...) from 1.6 on,
// the estimator method _validate_data(...) before (1.7 removed the method).
// Not taken from the sklearn-compat package: its validate_data is bound when
// it is imported, so a function patched on sklearn.utils.validation would not
// be seen, its older-release branch passes the arguments by other names, and
// it caps scikit-learn below the next minor release.
#pragma once

#include "names.hpp"

namespace rampnet {

/// sklearn.utils.validation.validate_data as that module holds it at this
/// moment (so a patched function is seen), or an empty Ref where this
/// scikit-learn has none.
qalvo::Ref validate_data_function();

/// The number of columns of `x` as scikit-learn counts them before any
/// conversion (sklearn.utils.validation._num_features), or an empty Ref where
/// it cannot count them (a one-dimensional input, a string): the input check
/// then says what is wrong with it.
qalvo::Ref column_count(PyObject* x);

/// validate_data(self, a...) where it exists, else self._validate_data(a...);
/// `kwnames` names the trailing keyword arguments (nullptr: none).
template <class... A>
qalvo::Ref validate_data(PyObject* self, PyObject* kwnames, const A&... a) {
    if (qalvo::Ref function = validate_data_function()) {
        if (kwnames == nullptr) return qalvo::call(function, self, a...);
        return qalvo::call_kw(function, kwnames, self, a...);
    }
    if (kwnames == nullptr) return qalvo::call_method(self, S._validate_data, a...);
    return qalvo::call_method_kw(self, S._validate_data, kwnames, a...);
}

}  // namespace rampnet
