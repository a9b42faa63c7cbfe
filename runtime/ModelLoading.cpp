// Open step: device choice, JIT options, network loading and placement.
#include "node/Tweenova.h"
#include "runtime/DeviceRule.h"
#include "runtime/SharedNetworks.h"

#include <torch/csrc/jit/python/update_graph_executor_opt.h>
#include <torch/script.h>

#include <iostream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr const char* kLoadError = "Error loading the frame interpolation neural network model";

// Switches the half-casting flags off in every module of the network and
// converts it to float32 when it has such flags: a `fresh` network always, a
// shared one only when a flag was on again (converting a network that others
// are running would race with them). Returns whether the network has flags.
bool prepareForCpu(torch::jit::Module& model, bool fresh)
{
  bool hasFlags = false, switched = false;
  for (torch::jit::Module module : model.modules()) {
    for (const char* flag : {"cast_half", "synth_fp32"}) {
      if (!module.hasattr(flag))
        continue;
      hasFlags = true;
      if (module.attr(flag).toBool()) {
        module.setattr(flag, false);
        switched = true;
      }
    }
  }
  if (switched || (fresh && hasFlags))
    model.to(torch::kFloat32, false);
  return hasFlags;
}

// What a network for `device` goes through before it is shared.
tweenova::NetworkPreparation preparationFor(const DeviceChoice& choice)
{
  if (choice.useCuda)
    return {};
  return [](torch::jit::Module& network) { prepareForCpu(network, true); };
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
      model = tweenova::acquireNetwork(choice.device, preparationFor(choice));
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

  // Placing and preparing the network run on every open step; a failure here
  // must not leave the host call either. A network is shared, so it is never
  // moved in place: another device takes that device's copy, deserialised
  // from the library when no node holds one yet.
  std::ostringstream deviceText;
  deviceText << choice.device;
  const std::string placeError = "Error placing the frame interpolation neural network model on " + deviceText.str();
  try {
    if (tweenova::networkDevice(model) != choice.device)
      model = tweenova::acquireNetwork(choice.device, preparationFor(choice));
    if (!choice.useCuda && prepareForCpu(model, false) && debug)
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
