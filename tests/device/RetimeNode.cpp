#include "device/RetimeNode.h"

#include "HostLayer/Render.h"
#include "device/FramePairSource.h"
#include "node/Tweenova.h"

#include <stdexcept>

using namespace DD::Image;

namespace devicecheck {

namespace {

constexpr double kOutputFrame = 1.0;
constexpr const char* kPassMessage = "Interpolating (pass ";
constexpr const char* kPatchesText = "Image patches: ";

// The rgb of a rendered plane, rows turned top-down.
Image imageOf(const ImagePlane& plane)
{
  const Box& b = plane.bounds();
  Image out(b.w(), b.h());
  const Channel channels[3] = {Chan_Red, Chan_Green, Chan_Blue};
  for (int c = 0; c < 3; ++c) {
    const int z = plane.chanNo(channels[c]);
    if (z < 0)
      throw std::runtime_error("the rendered plane has no " + std::string(c == 0 ? "red" : c == 1 ? "green" : "blue"));
    for (int y = 0; y < b.h(); ++y) {
      const float* row = plane.readable() + y * plane.rowStride() + z * plane.chanStride();
      for (int x = 0; x < b.w(); ++x)
        out.at(c, x, b.h() - 1 - y) = row[x * plane.colStride()];
    }
  }
  return out;
}

} // namespace

const char* precisionName(Precision p)
{
  switch (p) {
  case Precision::Float32: return "fp32";
  case Precision::Float16: return "fp16";
  case Precision::BFloat16: return "bf16";
  }
  return "?";
}

RetimeNode::RetimeNode(const std::string& name, std::shared_ptr<const Image> first, std::shared_ptr<const Image> second)
  : source_(createFramePairNode(name + "-source", std::move(first), std::move(second))),
    node_(HostLayer::HostNode::create("Tweenova", name))
{
  node_->setInput(0, source_.get());
  node_->setProgressHandlers(
    [this](const std::string& message) { passes_ += message.rfind(kPassMessage, 0) == 0; }, [](double) {}, [] {});
  node_->showPanel();
  set("mode", 1);  // "Frame"
  set("output_frame", 1.5);
}

void RetimeNode::set(const char* knob, double value)
{
  Knob* k = node_->knob(knob);
  if (!k)
    throw std::runtime_error(node_->name() + " has no knob " + knob);
  if (k->get_value() != value)
    node_->setValue(k, value);
}

void RetimeNode::apply(const RenderSettings& s)
{
  set("use_gpu", s.gpu);
  set("mixed_precision", s.precision != Precision::Float32);
  set("use_bfloat16", s.precision == Precision::BFloat16);
  set("max_size", s.maxSize);
  set("overlap", s.overlap);
  set("padding", s.padding);
}

Image RetimeNode::render()
{
  passes_ = 0;
  HostLayer::RenderResult result = HostLayer::renderFrame(*node_, kOutputFrame, Mask_RGB);
  if (!result.ok)
    throw std::runtime_error(node_->name() + ": " + result.error);
  return imageOf(result.plane);
}

int RetimeNode::panelPatchCount() const
{
  const Knob* k = node_->knob("image_patches");
  const std::string text = k ? k->text() : "";
  if (text.rfind(kPatchesText, 0) != 0)
    throw std::runtime_error(node_->name() + ": unexpected patches text \"" + text + "\"");
  return std::stoi(text.substr(std::string(kPatchesText).size()));
}

void RetimeNode::withOpenOperator(const std::function<void(Tweenova&)>& use)
{
  struct Lease {
    HostLayer::HostNode& node;
    Op* op;
    ~Lease() { node.release(op); }
  } lease{*node_, node_->acquire(OutputContext(kOutputFrame))};
  std::string error;
  if (!HostLayer::validateOperator(*node_, lease.op, error))
    throw std::runtime_error(node_->name() + ": " + error);
  lease.op->open();
  Tweenova& op = static_cast<Tweenova&>(*lease.op);
  if (lease.op->hasError() || !op.modelLoaded)
    throw std::runtime_error(node_->name() + ": the network did not load: " + lease.op->errorMessage());
  use(op);
}

} // namespace devicecheck
