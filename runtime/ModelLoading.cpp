// Open step: device choice, JIT options, network loading and placement.
#include "node/Tweenova.h"
#include "runtime/DeviceRule.h"
#include "runtime/MemAdapter.h"
#include "runtime/ModelLibrary.h"

#include <torch/csrc/jit/python/update_graph_executor_opt.h>
#include <torch/script.h>

#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace {

constexpr const char* kLoadError = "Error loading the frame interpolation neural network model";

// Deserialises the network from the model library's memory onto `device`.
// One load at a time: TorchScript's compiler shares state between the
// archives it compiles, unguarded (ThreadSanitizer sees two render threads
// opening their operators race inside it).
torch::jit::Module loadNetwork(const torch::Device& device)
{
  static std::mutex loading;
  std::lock_guard<std::mutex> lock(loading);
  const tweenova::ModelArchive archive = tweenova::ModelArchive::fetch(tweenova::modelLibraryPath());
  auto adapter = std::make_shared<MemAdapter>(archive.data(), archive.size());
  return torch::jit::load(adapter, device, /*load_debug_files=*/true);
}

// Switches the half-casting flags off in every module of the network and,
// when any was present, converts the network to float32. Returns whether it did.
bool prepareForCpu(torch::jit::Module& model)
{
  bool changed = false;
  for (torch::jit::Module module : model.modules()) {
    if (module.hasattr("cast_half")) {
      module.setattr("cast_half", false);
      changed = true;
    }
    if (module.hasattr("synth_fp32")) {
      module.setattr("synth_fp32", false);
      changed = true;
    }
  }
  if (changed)
    model.to(torch::kFloat32, false);
  return changed;
}

} // namespace

void Tweenova::_open()
{
  PlanarIop::_open();

  const DeviceChoice choice = chooseDevice(*this, DeviceRuleCaller::Open);

  torch::jit::setGraphExecutorOptimize(false);
  torch::jit::FusionStrategy strategy{{torch::jit::FusionBehavior::STATIC, 0}};
  torch::jit::setFusionStrategy(strategy);

  if (!modelLoaded) {
    try {
      model = loadNetwork(choice.device);
      modelLoaded = true;
    } catch (const std::exception& e) {
      std::cout << kLoadError << std::endl << e.what() << std::endl;
      error("%s", kLoadError);
      return;
    } catch (...) {
      std::cout << kLoadError << std::endl << "unknown exception" << std::endl;
      error("%s", kLoadError);
      return;
    }
  }

  // Moving and preparing the network run on every open step; a failure here
  // must not leave the host call either.
  std::ostringstream deviceText;
  deviceText << choice.device;
  const std::string placeError = "Error placing the frame interpolation neural network model on " + deviceText.str();
  try {
    model.to(choice.device, false);
    if (!choice.useCuda && prepareForCpu(model) && debug)
      std::cout << node_name()
                << ": CPU device - running the model in FP32 (half-casting flags off) to avoid the slow FP16-on-CPU "
                   "path."
                << std::endl;
  } catch (const std::exception& e) {
    std::cout << placeError << std::endl << e.what() << std::endl;
    error("%s", placeError.c_str());
  } catch (...) {
    std::cout << placeError << std::endl << "unknown exception" << std::endl;
    error("%s", placeError.c_str());
  }
}
