#pragma once

#include "DDImage/Channel.h"

#include <bitset>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <ostream>

namespace DD {
namespace Image {

// A set of channels, iterated in ascending channel number. The special
// "all" set stands for every channel, including channels not yet known.
class ChannelSet {
public:
  ChannelSet() = default;
  ChannelSet(Channel c) { insert(c); }
  ChannelSet(std::initializer_list<Channel> cs)
  {
    for (Channel c : cs)
      insert(c);
  }

  static ChannelSet all()
  {
    ChannelSet s;
    s.all_ = true;
    return s;
  }

  bool is_all() const { return all_; }
  bool empty() const { return !all_ && bits_.none(); }
  // Number of channels; the "all" set counts the channels known so far.
  unsigned size() const;
  bool contains(Channel c) const { return c > Chan_Black && c <= Chan_Last && (all_ || bits_.test(c)); }
  bool contains(const ChannelSet& o) const;

  // First channel, or Chan_Black when empty.
  Channel first() const;
  // Next channel after c, or Chan_Black past the last.
  Channel next(Channel c) const;
  Channel last() const;

  ChannelSet& insert(Channel c)
  {
    if (c > Chan_Black && c <= Chan_Last)
      bits_.set(c);
    return *this;
  }
  ChannelSet& operator+=(Channel c) { return insert(c); }
  ChannelSet& operator+=(const ChannelSet& o);
  ChannelSet& operator-=(Channel c);
  ChannelSet& operator&=(const ChannelSet& o);
  ChannelSet& operator=(Channel c)
  {
    clear();
    return insert(c);
  }
  ChannelSet operator+(const ChannelSet& o) const { ChannelSet s(*this); s += o; return s; }
  ChannelSet operator&(const ChannelSet& o) const { ChannelSet s(*this); s &= o; return s; }
  void clear()
  {
    all_ = false;
    bits_.reset();
  }

  bool operator==(const ChannelSet& o) const { return all_ == o.all_ && bits_ == o.bits_; }
  bool operator!=(const ChannelSet& o) const { return !(*this == o); }

  class const_iterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Channel;
    using difference_type = std::ptrdiff_t;
    using pointer = const Channel*;
    using reference = Channel;

    const_iterator(const ChannelSet* s, Channel c) : set_(s), c_(c) {}
    Channel operator*() const { return c_; }
    const_iterator& operator++()
    {
      c_ = set_->next(c_);
      return *this;
    }
    bool operator!=(const const_iterator& o) const { return c_ != o.c_; }
    bool operator==(const const_iterator& o) const { return c_ == o.c_; }

  private:
    const ChannelSet* set_;
    Channel c_;
  };
  const_iterator begin() const { return const_iterator(this, first()); }
  const_iterator end() const { return const_iterator(this, Chan_Black); }

private:
  bool all_ = false;
  std::bitset<Chan_Last + 1> bits_;
};

const ChannelSet Mask_None;
const ChannelSet Mask_Red(Chan_Red);
const ChannelSet Mask_Green(Chan_Green);
const ChannelSet Mask_Blue(Chan_Blue);
const ChannelSet Mask_Alpha(Chan_Alpha);
const ChannelSet Mask_Z(Chan_Z);
const ChannelSet Mask_RGB{Chan_Red, Chan_Green, Chan_Blue};
const ChannelSet Mask_RGBA{Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha};
const ChannelSet Mask_All = ChannelSet::all();

// Prints "none", "all", a layer name for a whole layer ("rgba", "depth"),
// "rgb" for the colour channels of rgba, or the channel names, separated by blanks.
std::ostream& operator<<(std::ostream& o, const ChannelSet& s);

// Parses the forms printed above plus comma-separated channel names.
// Returns false for an unknown layer or a malformed name.
bool parseChannelSet(const std::string& text, ChannelSet& out);

#define foreach(VAR, CHANNELS) \
  for (DD::Image::Channel VAR = (CHANNELS).first(); VAR; VAR = (CHANNELS).next(VAR))

} // namespace Image
} // namespace DD
