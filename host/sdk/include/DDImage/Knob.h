#pragma once

#include "DDImage/ChannelSet.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace DD {
namespace Image {

class Node;

// Interface of the knobs that hold a text (Text_knob, Named_Text_knob).
class Text_KnobI {
public:
  virtual ~Text_KnobI() = default;
  virtual void setValue(const char* text) = 0;
  virtual const char* getValue() const = 0;
};

enum class KnobKind {
  Marker,
  Int,
  Float,
  Bool,
  Enumeration,
  ChannelMask,
  Text,
  NamedText,
  PyScript,
  Tab,
  Divider,
  BeginGroup,
  EndGroup,
};

const char* knobKindName(KnobKind k);

// One control of a node's panel. Value knobs hold a value that may be animated
// with key frames: between two keys the value is interpolated linearly, before
// the first key it is the first key's value and after the last key the last's.
class Knob : private Text_KnobI {
public:
  typedef uint64_t FlagMask;
  static constexpr FlagMask DISABLED = 0x80;
  static constexpr FlagMask NO_ANIMATION = 0x100;
  static constexpr FlagMask INVISIBLE = 0x400;
  static constexpr FlagMask STARTLINE = 0x1000;
  static constexpr FlagMask HIDDEN = 0x40000;
  static constexpr FlagMask ALWAYS_SAVE = 0x100000;
  static constexpr FlagMask EARLY_STORE = 0x80000000;

  // Passed to knob_changed when the node's panel is opened.
  static Knob showPanel;

  Knob(KnobKind kind, std::string name, std::string label);
  Knob(const Knob&) = delete;
  Knob& operator=(const Knob&) = delete;
  ~Knob() override = default;

  KnobKind kind() const { return kind_; }
  const std::string& name() const { return name_; }
  const std::string& label() const { return label_; }
  void label(const std::string& l) { label_ = l; }

  FlagMask flags() const { return flags_; }
  bool flag(FlagMask f) const { return (flags_ & f) != 0; }
  void set_flag(FlagMask f) { flags_ |= f; }
  void clear_flag(FlagMask f) { flags_ &= ~f; }

  const std::string& tooltip() const { return tooltip_; }
  void tooltip(const std::string& t) { tooltip_ = t; }

  void visible(bool v) { v ? clear_flag(INVISIBLE) : set_flag(INVISIBLE); }
  bool isVisible() const { return !flag(INVISIBLE) && !flag(HIDDEN); }
  void enable(bool e) { e ? clear_flag(DISABLED) : set_flag(DISABLED); }
  void enable() { enable(true); }
  void disable() { enable(false); }
  bool isEnabled() const { return !flag(DISABLED); }

  // Value knobs.
  double get_value() const { return value_; }
  double get_value_at(double frame) const;
  // Sets the value; on an animated knob this sets a key at the node's current frame.
  void set_value(double v);
  void set_value_at(double v, double frame);
  bool isAnimated() const { return !keys_.empty(); }
  void clearAnimated() { keys_.clear(); }
  // Collects the frames of the keys; returns how many keys there are.
  int getKeyList(std::set<int>& frames) const;
  const std::map<double, double>& keys() const { return keys_; }

  // Enumeration knobs.
  const std::vector<std::string>& items() const { return items_; }
  void items(std::vector<std::string> v) { items_ = std::move(v); }

  // Channel-set knobs.
  const ChannelSet& channels() const { return channels_; }
  void channels(const ChannelSet& c) { channels_ = c; }

  // Text and script knobs.
  Text_KnobI* textKnob() { return (kind_ == KnobKind::Text || kind_ == KnobKind::NamedText) ? this : nullptr; }
  const std::string& text() const { return text_; }
  void text(const std::string& t) { text_ = t; }

  // The value as the panel shows it (item text, channel set, text, number).
  std::string valueText() const;

  Node* node() const { return node_; }
  void node(Node* n) { node_ = n; }
  double currentFrame() const;

private:
  void setValue(const char* text) override { text_ = text ? text : ""; }
  const char* getValue() const override { return text_.c_str(); }

  KnobKind kind_;
  std::string name_;
  std::string label_;
  FlagMask flags_ = 0;
  std::string tooltip_;
  double value_ = 0.0;
  std::map<double, double> keys_;
  std::vector<std::string> items_;
  ChannelSet channels_;
  std::string text_;
  Node* node_ = nullptr;
};

} // namespace Image
} // namespace DD
