// Entry points of the plug-in's developer build, for tweenova-render's
// developer options. Nothing is thrown across them.
#include "runtime/ModelLibrary.h"
#include "runtime/SimulatedCudaEnvironment.h"

#include <memory>

// Shows the node against two simulated GPUs (--simulate-gpu).
extern "C" __attribute__((visibility("default"))) void TweenovaSimulateCuda()
{
  try {
    tweenova::setCudaEnvironment(
      std::make_shared<tweenova::SimulatedCudaEnvironment>(tweenova::SimulatedCudaEnvironment::standard()));
  } catch (...) {
    // libtorch's environment stays in force.
  }
}

// Loads the network from the model library at `path` (--model-library).
extern "C" __attribute__((visibility("default"))) void TweenovaSetModelLibrary(const char* path)
{
  try {
    tweenova::setModelLibraryPath(path ? path : "");
  } catch (...) {
    // The default library stays in force.
  }
}
