#include "DDImage/Knob.h"
#include "DDImage/Node.h"

#include <cmath>
#include <sstream>

namespace DD {
namespace Image {

Knob Knob::showPanel(KnobKind::Marker, "showPanel", "");

const char* knobKindName(KnobKind k)
{
  switch (k) {
  case KnobKind::Marker: return "Marker";
  case KnobKind::Int: return "Int_knob";
  case KnobKind::Float: return "Float_knob";
  case KnobKind::Bool: return "Bool_knob";
  case KnobKind::Enumeration: return "Enumeration_knob";
  case KnobKind::ChannelMask: return "ChannelMask_knob";
  case KnobKind::Text: return "Text_knob";
  case KnobKind::NamedText: return "Named_Text_knob";
  case KnobKind::PyScript: return "PyScript_knob";
  case KnobKind::Tab: return "Tab_knob";
  case KnobKind::Divider: return "Divider";
  case KnobKind::BeginGroup: return "BeginClosedGroup";
  case KnobKind::EndGroup: return "EndGroup";
  }
  return "?";
}

Knob::Knob(KnobKind kind, std::string name, std::string label)
  : kind_(kind), name_(std::move(name)), label_(std::move(label))
{}

double Knob::get_value_at(double frame) const
{
  if (keys_.empty())
    return value_;
  auto hi = keys_.lower_bound(frame);
  if (hi == keys_.begin())
    return hi->second;
  if (hi == keys_.end())
    return std::prev(hi)->second;
  if (hi->first == frame)
    return hi->second;
  auto lo = std::prev(hi);
  double u = (frame - lo->first) / (hi->first - lo->first);
  return lo->second + u * (hi->second - lo->second);
}

double Knob::currentFrame() const { return node_ ? node_->frame() : 1.0; }

void Knob::set_value(double v)
{
  if (!keys_.empty())
    keys_[currentFrame()] = v;
  value_ = v;
}

void Knob::set_value_at(double v, double frame)
{
  keys_[frame] = v;
  if (keys_.size() == 1)
    value_ = v;
}

int Knob::getKeyList(std::set<int>& frames) const
{
  for (const auto& kv : keys_)
    frames.insert(int(std::floor(kv.first)));
  return int(keys_.size());
}

std::string Knob::valueText() const
{
  std::ostringstream o;
  switch (kind_) {
  case KnobKind::Int:
    o << (long long)std::llround(value_);
    break;
  case KnobKind::Float:
    o << value_;
    break;
  case KnobKind::Bool:
    o << (value_ != 0.0 ? "true" : "false");
    break;
  case KnobKind::Enumeration: {
    long i = std::lround(value_);
    if (i >= 0 && size_t(i) < items_.size())
      o << items_[i];
    else
      o << i;
    break;
  }
  case KnobKind::ChannelMask:
    o << channels_;
    break;
  case KnobKind::Text:
  case KnobKind::NamedText:
  case KnobKind::PyScript:
    o << text_;
    break;
  default:
    break;
  }
  if (!keys_.empty()) {
    o << " {keys";
    for (const auto& kv : keys_)
      o << " " << kv.first << ":" << kv.second;
    o << "}";
  }
  return o.str();
}

} // namespace Image
} // namespace DD
