// The methods of the module's classes, one FunctionSpec each, defined in the
// source file of their concern; module.cpp assembles the classes from them.
#pragma once

#include "function.hpp"

namespace rampnet {

using qalvo::FunctionSpec;

// FastTensorDataLoader (loader.cpp)
extern const FunctionSpec kLoaderInit, kLoaderIter, kLoaderNext, kLoaderLen;
/// The copyreg reducer registered for the loader class (not one of its methods).
extern const FunctionSpec kReduceLoader;
extern const char* const kLoaderClassDoc;
/// Marks `loader` as built by a fit of `estimator`: pickled or copied while
/// the estimator holds it, it goes without its rows.
void remember_built_loader(PyObject* loader, PyObject* estimator);

// RampNetModule (network.cpp)
extern const FunctionSpec kModuleInit, kModuleGetParams, kModuleForward;

// RampNet
extern const FunctionSpec kRampNetInit, kSetSeed, kFit;                  // estimator.cpp
extern const FunctionSpec kBuildNet;                                     // network.cpp
extern const FunctionSpec kPrepareData, kValidate, kCheckImprovement;    // data.cpp
extern const FunctionSpec kHardThresholdingWeight, kHardThresholdingGradient,
    kFitIht;                                                              // thresholding.cpp
extern const FunctionSpec kFitBp;                                        // training.cpp
extern const FunctionSpec kGetRawOutput;                                 // output.cpp

// RampNetRegressor (regressor.cpp)
extern const FunctionSpec kRegressorInit, kRegressorValidateInput, kRegressorPredict;

// RampNetClassifier (classifier.cpp)
extern const FunctionSpec kClassifierInit, kMoreTags, kClassifierValidateInput,
    kDecisionFunction, kPredictProba, kClassifierPredict, kSklearnTags;

/// The instance attributes of an estimator at one moment, to put back when a
/// fit fails part-way (data.cpp). Objects without an instance dictionary, and
/// classes, are not taken: restore() then does nothing.
class AttributeSnapshot {
public:
    explicit AttributeSnapshot(PyObject* self);
    /// Puts the attributes back as they were; the pending exception stays.
    void restore() noexcept;

private:
    qalvo::Ref attributes_;
    qalvo::Ref before_;
};

/// Body of methods whose behaviour is not built yet.
qalvo::Ref not_implemented(qalvo::Call& call, PyObject* const* args);

}  // namespace rampnet
