#include "DDImage/Node.h"

#include "DDImage/Op.h"
#include "KnobCallbackImpl.h"

namespace DD {
namespace Image {

Node::~Node() = default;

void Node::declareKnobs(Op& op, double frame)
{
  KnobCallbackImpl impl(this, KnobCallbackImpl::Make, frame);
  op.knobs(Knob_Callback(&impl));
}

void Node::storeKnobValues(Op& op, double frame)
{
  KnobCallbackImpl impl(this, KnobCallbackImpl::Store, frame);
  op.knobs(Knob_Callback(&impl));
}

Knob* KnobCallbackImpl::declare(KnobKind kind, const char* name, const char* label)
{
  lastCreated_ = false;
  if (mode_ == Store)
    last_ = name ? node_->knob(name) : nullptr;
  else
    last_ = node_->addKnob(kind, name ? name : "", label ? label : "", lastCreated_);
  return last_;
}

} // namespace Image
} // namespace DD
