#pragma once

#include "DDImage/Knob.h"

#include <string>

namespace DD {
namespace Image {

class Op;

// What an operator and its knobs ask of the node they belong to: its knob
// store, the timeline frame, progress, errors and whether to stop. The host
// application implements it; a plug-in only passes on the pointer it is given.
class Node {
public:
  virtual ~Node();

  virtual const std::string& name() const = 0;
  virtual Knob* knob(const std::string& name) const = 0;
  // The timeline frame the panel shows.
  virtual double frame() const = 0;

  virtual bool abortRequested() const = 0;
  virtual bool isCancelled() const = 0;
  virtual void reportProgressMessage(const std::string& m) = 0;
  virtual void reportProgressFraction(double f) = 0;
  virtual void reportProgressDismiss() = 0;
  // Called with the text of an operator's error.
  virtual void setError(const std::string& text) = 0;

protected:
  // For the host's node: runs `op`'s knobs() to declare the panel, each knob
  // through addKnob(), or to store the knob values at `frame` into its members.
  void declareKnobs(Op& op, double frame);
  void storeKnobValues(Op& op, double frame);
  // The knob to use for each knob that declareKnobs() meets: a new one
  // (`created` set) or one of that name and kind kept from an earlier panel.
  virtual Knob* addKnob(KnobKind kind, const std::string& name, const std::string& label, bool& created) = 0;

private:
  friend class KnobCallbackImpl;
};

} // namespace Image
} // namespace DD
