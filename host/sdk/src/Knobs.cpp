#include "DDImage/Knobs.h"
#include "DDImage/Node.h"
#include "KnobCallbackImpl.h"

#include <cmath>
#include <type_traits>

namespace DD {
namespace Image {

bool Knob_Callback::makeKnobs() const { return impl_ && impl_->mode() == KnobCallbackImpl::Make; }

namespace {

bool storing(Knob_Callback f) { return f.impl() && f.impl()->mode() == KnobCallbackImpl::Store; }

Knob* declare(Knob_Callback f, KnobKind kind, const char* name, const char* label)
{
  if (!f.impl())
    return nullptr;
  return f.impl()->declare(kind, name, label);
}

// A new knob takes the member's value as its default; storing writes the
// knob's value at the operator's frame into the member.
template <class T>
Knob* valueKnob(Knob_Callback f, KnobKind kind, T* p, const char* name, const char* label)
{
  Knob* k = declare(f, kind, name, label ? label : name);
  if (!k)
    return k;
  if (storing(f)) {
    double v = k->get_value_at(f.impl()->frame());
    if constexpr (std::is_same_v<T, bool>)
      *p = v != 0.0;
    else if constexpr (std::is_integral_v<T>)
      *p = T(std::llround(v));
    else
      *p = T(v);
  } else if (f.impl()->lastCreated()) {
    k->set_value(double(*p));
  }
  return k;
}

} // namespace

Knob* Int_knob(Knob_Callback f, int* p, const char* name, const char* label)
{
  return valueKnob(f, KnobKind::Int, p, name, label);
}

Knob* Float_knob(Knob_Callback f, float* p, const char* name, const char* label)
{
  return valueKnob(f, KnobKind::Float, p, name, label);
}

Knob* Bool_knob(Knob_Callback f, bool* p, const char* name, const char* label)
{
  return valueKnob(f, KnobKind::Bool, p, name, label);
}

Knob* Enumeration_knob(Knob_Callback f, int* p, const char* const* items, const char* name, const char* label)
{
  Knob* k = valueKnob(f, KnobKind::Enumeration, p, name, label);
  if (k && f.makeKnobs()) {
    std::vector<std::string> v;
    for (const char* const* i = items; i && *i; ++i)
      v.push_back(*i);
    k->items(v);
  }
  return k;
}

Knob* Input_ChannelMask_knob(Knob_Callback f, ChannelSet* p, int /*input*/, const char* name, const char* label)
{
  Knob* k = declare(f, KnobKind::ChannelMask, name, label ? label : name);
  if (k && storing(f))
    *p = k->channels();
  else if (k && f.impl()->lastCreated())
    k->channels(*p);
  return k;
}

Knob* Text_knob(Knob_Callback f, const char* label, const char* text)
{
  Knob* k = declare(f, KnobKind::Text, nullptr, label);
  if (k && f.makeKnobs())
    k->text(text ? text : "");
  return k;
}

Knob* Text_knob(Knob_Callback f, const char* text) { return Text_knob(f, "", text); }

Knob* Named_Text_knob(Knob_Callback f, const char* name, const char* label, const char* text)
{
  Knob* k = declare(f, KnobKind::NamedText, name, label);
  if (k && f.makeKnobs())
    k->text(text ? text : "");
  return k;
}

Knob* PyScript_knob(Knob_Callback f, const char* script, const char* name, const char* label)
{
  Knob* k = declare(f, KnobKind::PyScript, name, label ? label : name);
  if (k && f.makeKnobs())
    k->text(script ? script : "");
  return k;
}

Knob* Tab_knob(Knob_Callback f, const char* label) { return declare(f, KnobKind::Tab, nullptr, label); }
Knob* Divider(Knob_Callback f, const char* label) { return declare(f, KnobKind::Divider, nullptr, label); }
Knob* BeginClosedGroup(Knob_Callback f, const char* name, const char* label)
{
  return declare(f, KnobKind::BeginGroup, name, label ? label : name);
}
Knob* EndGroup(Knob_Callback f) { return declare(f, KnobKind::EndGroup, nullptr, nullptr); }

void SetFlags(Knob_Callback f, Knob::FlagMask flags)
{
  if (f.makeKnobs() && f.impl()->last())
    f.impl()->last()->set_flag(flags);
}

void ClearFlags(Knob_Callback f, Knob::FlagMask flags)
{
  if (f.makeKnobs() && f.impl()->last())
    f.impl()->last()->clear_flag(flags);
}

void Tooltip(Knob_Callback f, const char* text)
{
  if (f.makeKnobs() && f.impl()->last())
    f.impl()->last()->tooltip(text ? text : "");
}

} // namespace Image
} // namespace DD
