// The engine's plan: what one _fit_bp call (its training epochs and validation
// passes), one validation or one prediction runs on, read once from the
// estimator's own objects. The gate (_engine_gate.py) has decided that those
// objects are the standard ones; the plan checks what the engine relies on
// for memory safety (exact tensors, float64, one device, chained shapes).
#pragma once

#include "objects.hpp"

#include <memory>
#include <vector>

namespace engine {

enum class Use { kFit, kValidate, kPredict };

struct Plan {
    Use use = Use::kPredict;
    /// The network and the loss (every use), the optimiser's slots and the
    /// rest of training (a fit's).
    TrainSetup setup;
    at::Device device{at::kCPU};
    int64_t width = 0;  ///< input columns

    // What the estimator held when the plan was made: an epoch runs only
    // while it still holds these very objects, and loaders of this type.
    qalvo::Ref net, loss_fn, loader_type;
    /// The Sequential's layers and each Linear's weight and bias objects, in order.
    std::vector<qalvo::Ref> layer_objects, parameter_objects;

    // Training only.
    qalvo::Ref optimizer, group, group_before, weights_list, step_method;
    qalvo::Ref adam_state;  ///< optimizer_.state, whose entries setup.slots hold (CPU)
    std::vector<qalvo::Ref> weight_names;  ///< net_.weights' names, for the IHT masks
    /// Adam state that the first step creates: stored into optimizer_.state
    /// once a batch has run, as torch stores it.
    std::vector<std::pair<qalvo::Ref, AdamSlot>> new_state;
};

/// The plan for `use` of the estimator's objects, or nullptr where they do not
/// fit the engine.
std::unique_ptr<Plan> read_plan(PyObject* estimator, Use use);

/// Before a training epoch (`pass` kFit) or a validation pass (kValidate):
/// whether the estimator still holds the plan's objects that the pass uses;
/// a training epoch also reads what may change between epochs (l1_reg, the
/// learning rate, the IHT masks). nullptr when it does; else why the generic
/// path must run.
const char* still_holds(Plan& plan, PyObject* estimator, Use pass);

/// Stores the Adam state created for the first step (once).
void store_new_state(Plan& plan);

}  // namespace engine
