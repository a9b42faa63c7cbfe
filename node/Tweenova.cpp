// The node class as the host sees it: registration, identity, constant answers.
#include "node/Tweenova.h"

#include "runtime/CudaEnvironment.h"
#include "runtime/Startup.h"

using namespace DD::Image;

namespace {

Op* build(Node* node) { return new Tweenova(node); }

const char* const kHelp =
  "Tweenova provides machine learning based frame interpolation and retiming based on the Interp Vantorelle "
  "framework. Supports EMA-VFI, RIFE-vgg, and RIFE-pro models for high-quality motion interpolation.";

} // namespace

const Op::Description Tweenova::d("Tweenova", build, __DATE__ " for " kDDImageVersion);

Tweenova::Tweenova(Node* node) : PlanarIop(node) { tweenova::startUp(*this); }

Tweenova::~Tweenova() { tweenova::tearDown(*this); }

const char* Tweenova::Class() const { return d.name; }

const char* Tweenova::node_help() const { return kHelp; }

void Tweenova::_close()
{
  PlanarIop::_close();
  tweenova::cudaEnvironment().emptyCache();
}
