// Open step: device choice, JIT options, network loading and placement.
#include "runtime/ModelLoading.h"

#include "node/Tweenova.h"
#include "runtime/SharedNetworks.h"

#include <torch/csrc/jit/python/update_graph_executor_opt.h>
#include <torch/script.h>

#include <functional>
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

// Runs a step of the open step so that its failure does not leave the host
// call: the message and the failure's text on standard output, the message
// as the node's error. Returns whether the step succeeded.
bool openStep(DD::Image::Op& node, const std::string& message, const std::function<void()>& step)
{
  try {
    step();
    return true;
  } catch (const std::exception& e) {
    std::cout << message << std::endl << e.what() << std::endl;
  } catch (...) {
    std::cout << message << std::endl << "unknown exception" << std::endl;
  }
  node.error("%s", message.c_str());
  return false;
}

} // namespace

namespace tweenova {

void setJitOptions()
{
  torch::jit::setGraphExecutorOptimize(false);
  torch::jit::FusionStrategy strategy{{torch::jit::FusionBehavior::STATIC, 0}};
  torch::jit::setFusionStrategy(strategy);
}

torch::jit::Module loadNetwork(const DeviceChoice& choice)
{
  return acquireNetwork(choice.device, preparationFor(choice));
}

bool placeNetwork(torch::jit::Module& network, const DeviceChoice& choice)
{
  // A network is shared, so it is never moved in place: another device takes
  // that device's copy, deserialised from the library when no node holds one yet.
  if (networkDevice(network) != choice.device)
    network = acquireNetwork(choice.device, preparationFor(choice));
  return !choice.useCuda && prepareForCpu(network, false);
}

} // namespace tweenova

void Tweenova::_open()
{
  PlanarIop::_open();

  const DeviceChoice choice = chooseDevice(deviceRequest(), DeviceRuleCaller::Open);
  tweenova::setJitOptions();

  if (!modelLoaded) {
    if (!openStep(*this, kLoadError, [&] { model = tweenova::loadNetwork(choice); }))
      return;
    modelLoaded = true;
  }

  // Placing and preparing the network run on every open step.
  std::ostringstream deviceText;
  deviceText << choice.device;
  openStep(*this, "Error placing the frame interpolation neural network model on " + deviceText.str(), [&] {
    if (tweenova::placeNetwork(model, choice) && debug)
      std::cout << node_name()
                << ": CPU device - running the model in FP32 (half-casting flags off) to avoid the slow FP16-on-CPU "
                   "path."
                << std::endl;
  });
}
