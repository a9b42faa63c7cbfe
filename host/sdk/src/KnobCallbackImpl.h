#pragma once

#include "DDImage/Knobs.h"

namespace DD {
namespace Image {

class Node;

// What a Knob_Callback does: create the node's knobs, or store their values
// at a frame into the members of one operator.
class KnobCallbackImpl {
public:
  enum Mode { Make, Store };
  KnobCallbackImpl(Node* node, Mode mode, double frame) : node_(node), mode_(mode), frame_(frame) {}

  Mode mode() const { return mode_; }
  double frame() const { return frame_; }
  Node* node() const { return node_; }
  // Creates (Make) or finds (Store) the knob; null in Store mode for unnamed knobs.
  Knob* declare(KnobKind kind, const char* name, const char* label);
  Knob* last() const { return last_; }
  // Whether the knob declared last was created by this call (not kept from an earlier panel).
  bool lastCreated() const { return lastCreated_; }

private:
  Node* node_;
  Mode mode_;
  double frame_;
  Knob* last_ = nullptr;
  bool lastCreated_ = false;
};

} // namespace Image
} // namespace DD
