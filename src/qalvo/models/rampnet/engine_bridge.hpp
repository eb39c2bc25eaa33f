// Hands the batch loops to the native training engine where it may take them
// (see _engine_gate.py). Each function returns an empty Ref where the generic
// path must run: the engine is missing, forced off by QALVO_ENGINE=0, or the
// configuration is not the standard one.
#pragma once

#include "ref.hpp"

namespace rampnet {

/// The engine's plan for one _fit_bp call on `self`.
qalvo::Ref engine_fit_plan(PyObject* self);

/// One epoch's training batches by the plan: the summed loss as the generic
/// batch loop leaves it.
qalvo::Ref engine_train_epoch(PyObject* plan, PyObject* loader);

/// The validation pass of _validate: the summed loss.
qalvo::Ref engine_validate(PyObject* self);

/// The batched forward of get_raw_output over `rows` (the reshaped input).
qalvo::Ref engine_raw_output(PyObject* self, PyObject* rows);

}  // namespace rampnet
