// The node class as the host sees it: registration, identity, construction and destruction, constant answers.
#include "node/Tweenova.h"

#include "node/DeviceQuery.h"
#include "runtime/CudaEnvironment.h"
#include "runtime/DeviceRule.h"
#include "runtime/Logging.h"
#include "runtime/Startup.h"

using namespace DD::Image;

namespace {

Op* build(Node* node) { return new Tweenova(node); }

const char* const kHelp =
  "Tweenova provides machine learning based frame interpolation and retiming based on the Interp Vantorelle "
  "framework. Supports EMA-VFI, RIFE-vgg, and RIFE-pro models for high-quality motion interpolation.";

} // namespace

const Op::Description Tweenova::d("Tweenova", build, __DATE__ " for " kDDImageVersion);

// Log level, plug-in directory, then the checks of the CUDA environment.
Tweenova::Tweenova(Node* node) : PlanarIop(node)
{
  tweenova::applyLogLevel(debug);
  spdlog::debug("Plugin directory: {}", getPluginPath());
  const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
  if (!cuda.isAvailable())
    tweenova::reportUnusableDriver(cuda);
  else if (queryDevice(*this))
    tweenova::checkKernelSupport(gpuComputeCapability, buildComputeCapability);
}

Tweenova::~Tweenova() { tweenova::tearDown(model, modelLoaded); }

const char* Tweenova::Class() const { return d.name; }

const char* Tweenova::node_help() const { return kHelp; }

DeviceRequest Tweenova::deviceRequest() const
{
  return {use_gpu, cuda_deviceid, gpu_render_override, debug, node_name()};
}

void Tweenova::_close()
{
  PlanarIop::_close();
  tweenova::cudaEnvironment().emptyCache();
}
