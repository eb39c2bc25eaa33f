// The seed of a fit: random_state as scikit-learn reads it (an int as it is,
// None for fresh entropy, a NumPy RandomState or Generator drawn from once),
// and the integer actually used, kept while the fit runs so that the data
// split takes that same integer.
#pragma once

#include "names.hpp"

namespace rampnet {

/// The seed that `random_state` stands for: None gives an integer from fresh
/// entropy, a RandomState or Generator one integer drawn from it; any other
/// value is returned as it is (the generators judge it).
qalvo::Ref seed_from(PyObject* random_state);

/// Marks a fit of `self` running in this thread for the scope's lifetime.
class FitSeedScope {
public:
    explicit FitSeedScope(PyObject* self);
    ~FitSeedScope();
    FitSeedScope(const FitSeedScope&) = delete;
    FitSeedScope& operator=(const FitSeedScope&) = delete;
};

/// Records `seed` for the innermost fit of `self` running in this thread;
/// nothing outside a fit (_set_seed called on its own).
void record_fit_seed(PyObject* self, PyObject* seed);

/// The seed recorded for the innermost fit of `self` in this thread, or an
/// empty Ref (no fit running, or _set_seed replaced by a subclass).
qalvo::Ref fit_seed(PyObject* self);

}  // namespace rampnet
