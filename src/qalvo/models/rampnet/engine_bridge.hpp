// Hands the batch loops to the native training engine where it may take them
// (see _engine_gate.py). Each function returns an empty Ref where the generic
// path must run: the engine is missing, forced off by QALVO_ENGINE=0, or the
// configuration is not the standard one.
#pragma once

#include "ref.hpp"

namespace rampnet {

/// The engine's plan for one _fit_bp call on `self`: its training epochs and
/// its validation passes.
qalvo::Ref engine_fit_plan(PyObject* self);

/// One epoch's training batches by the plan: the summed loss as the generic
/// batch loop leaves it. Empty where `self` no longer holds what the plan was
/// made for: the epoch then runs on the generic path.
qalvo::Ref engine_train_epoch(PyObject* plan, PyObject* self);

/// Marks `plan` (which may be empty) as the plan of the _fit_bp call of `self`
/// running in this thread, for the validation passes it makes.
class ActivePlan {
public:
    ActivePlan(PyObject* self, PyObject* plan);
    ~ActivePlan();
    /// Replaces the plan (after the fit's objects changed).
    void update(PyObject* plan);
    ActivePlan(const ActivePlan&) = delete;
    ActivePlan& operator=(const ActivePlan&) = delete;
};

/// The validation pass of _validate: the summed loss. Within a fit it takes
/// the fit's plan; called on its own, it is decided on its own.
qalvo::Ref engine_validate(PyObject* self);

/// The batched forward of get_raw_output over `rows` (the reshaped input).
qalvo::Ref engine_raw_output(PyObject* self, PyObject* rows);

/// Records a class of the module as created (its namespace at that moment):
/// the engine runs only while the class keeps exactly that namespace.
void remember_created_class(PyObject* cls);

}  // namespace rampnet
