// One fit per estimator object at a time. Two threads training the same
// network, optimiser and loaders at once would corrupt them (the engine
// updates the tensors with the GIL released, and torch's in-place operations
// race as well): a fit of an object whose fit is running in another thread is
// refused at once. The same thread may nest (fit runs _fit_iht, which runs
// _fit_bp); prediction is never refused.
#pragma once

#include "ref.hpp"

namespace rampnet {

class FitGuard {
public:
    /// Raises RuntimeError when `self` is being fitted in another thread.
    /// `method` names the refused call in the message.
    FitGuard(PyObject* self, const char* method);
    ~FitGuard();
    FitGuard(const FitGuard&) = delete;
    FitGuard& operator=(const FitGuard&) = delete;

private:
    PyObject* self_;
};

}  // namespace rampnet
