#pragma once

#include "HostLayer/HostNode.h"
#include "device/Image.h"

#include <functional>
#include <memory>
#include <string>

class Tweenova;

namespace devicecheck {

enum class Precision { Float32, Float16, BFloat16 };

// "fp32", "fp16", "bf16".
const char* precisionName(Precision p);

// The knob values a check renders with; the rest keep the node's defaults.
struct RenderSettings {
  bool gpu = false;
  Precision precision = Precision::Float32;  // Float16 and BFloat16 are mixed precision
  int maxSize = 4500;
  int overlap = 512;
  int padding = 64;
};

// A Tweenova node fed by a frame pair, made through the host layer as the host
// application makes it, in the "Frame" timing with source frame 1.5 at every
// output frame: it renders the frame halfway between the pair.
class RetimeNode {
public:
  RetimeNode(const std::string& name, std::shared_ptr<const Image> first, std::shared_ptr<const Image> second);

  // User edits of the knobs whose values differ from `settings`.
  void apply(const RenderSettings& settings);
  // Renders output frame 1 as the host does. Throws std::runtime_error with
  // the node's error when the render fails.
  Image render();
  // Network passes the last render announced; a render in one pass announces none.
  int announcedPasses() const { return passes_; }
  // The patch count the panel's "Image patches" text gives.
  int panelPatchCount() const;

  // Calls `use` with an operator of the node, validated and opened for
  // output frame 1, its network loaded. Throws std::runtime_error when the
  // network does not load.
  void withOpenOperator(const std::function<void(Tweenova&)>& use);

  HostLayer::HostNode& node() { return *node_; }

private:
  void set(const char* knob, double value);

  std::unique_ptr<HostLayer::HostNode> source_;
  std::unique_ptr<HostLayer::HostNode> node_;
  int passes_ = 0;
};

} // namespace devicecheck
