#pragma once

#include "DDImage/ChannelSet.h"
#include "DDImage/Knob.h"

namespace DD {
namespace Image {

class Op;
class KnobCallbackImpl;

// Handed to Op::knobs. The same declaration code runs for two purposes: to
// create the panel's knobs, and to store the knobs' values (at the operator's
// frame) into the members they are bound to.
class Knob_Callback {
public:
  explicit Knob_Callback(KnobCallbackImpl* impl) : impl_(impl) {}
  bool makeKnobs() const;
  KnobCallbackImpl* impl() const { return impl_; }

private:
  KnobCallbackImpl* impl_;
};

Knob* Int_knob(Knob_Callback f, int* p, const char* name, const char* label = nullptr);
Knob* Float_knob(Knob_Callback f, float* p, const char* name, const char* label = nullptr);
Knob* Bool_knob(Knob_Callback f, bool* p, const char* name, const char* label = nullptr);
// items: null-terminated list of item texts; the member holds the item index.
Knob* Enumeration_knob(Knob_Callback f, int* p, const char* const* items, const char* name,
                       const char* label = nullptr);
Knob* Input_ChannelMask_knob(Knob_Callback f, ChannelSet* p, int input, const char* name,
                             const char* label = nullptr);
Knob* Text_knob(Knob_Callback f, const char* label, const char* text);
Knob* Text_knob(Knob_Callback f, const char* text);
Knob* Named_Text_knob(Knob_Callback f, const char* name, const char* label, const char* text);
Knob* PyScript_knob(Knob_Callback f, const char* script, const char* name, const char* label = nullptr);
Knob* Tab_knob(Knob_Callback f, const char* label);
Knob* Divider(Knob_Callback f, const char* label = nullptr);
Knob* BeginClosedGroup(Knob_Callback f, const char* name, const char* label = nullptr);
Knob* EndGroup(Knob_Callback f);

// These apply to the knob declared last.
void SetFlags(Knob_Callback f, Knob::FlagMask flags);
void ClearFlags(Knob_Callback f, Knob::FlagMask flags);
void Tooltip(Knob_Callback f, const char* text);

} // namespace Image
} // namespace DD
