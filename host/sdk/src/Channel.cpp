#include "DDImage/Channel.h"
#include "DDImage/ChannelSet.h"

#include <map>
#include <mutex>
#include <sstream>
#include <deque>
#include <vector>

namespace DD {
namespace Image {

namespace {

struct ChannelRegistry {
  std::mutex mutex;
  std::deque<std::string> names;  // index = channel number; a deque keeps c_str() pointers stable
  std::map<std::string, Channel> byName;

  ChannelRegistry()
  {
    names = {"black", "rgba.red", "rgba.green", "rgba.blue", "rgba.alpha", "depth.Z"};
    for (size_t i = 1; i < names.size(); ++i)
      byName[names[i]] = Channel(i);
  }
};

ChannelRegistry& registry()
{
  static ChannelRegistry r;
  return r;
}

std::string canonicalName(const std::string& name)
{
  static const std::map<std::string, std::string> shortNames = {
    {"r", "rgba.red"}, {"g", "rgba.green"}, {"b", "rgba.blue"}, {"a", "rgba.alpha"},
    {"red", "rgba.red"}, {"green", "rgba.green"}, {"blue", "rgba.blue"}, {"alpha", "rgba.alpha"},
    {"Z", "depth.Z"}, {"z", "depth.Z"},
  };
  auto it = shortNames.find(name);
  return it == shortNames.end() ? name : it->second;
}

// "layer.channel": the channel's name follows the last dot; the layer's may
// hold dots of its own ("forward.left.u": layer "forward.left", channel "u"),
// as layer names in files do.
bool wellFormed(const std::string& name)
{
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size() || name[0] == '.' || name.find("..") != std::string::npos)
    return false;
  for (char c : name)
    if (c == ' ' || c == ',' || c == '\t' || c == '\n' || c == '\r')
      return false;
  return true;
}

} // namespace

Channel getChannel(const char* name)
{
  if (!name)
    return Chan_Black;
  std::string n = canonicalName(name);
  if (!wellFormed(n))
    return Chan_Black;
  ChannelRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.byName.find(n);
  if (it != r.byName.end())
    return it->second;
  if (r.names.size() > size_t(Chan_Last))
    return Chan_Black;
  Channel c = Channel(r.names.size());
  r.names.push_back(n);
  r.byName[n] = c;
  return c;
}

Channel findChannel(const char* name)
{
  if (!name)
    return Chan_Black;
  std::string n = canonicalName(name);
  ChannelRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.byName.find(n);
  return it == r.byName.end() ? Chan_Black : it->second;
}

const char* getName(Channel c)
{
  ChannelRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (c <= Chan_Black || size_t(c) >= r.names.size())
    return "";
  return r.names[c].c_str();
}

std::string getLayerName(Channel c)
{
  std::string n = getName(c);
  size_t dot = n.rfind('.');
  return dot == std::string::npos ? n : n.substr(0, dot);
}

// ---------------------------------------------------------------------------

unsigned ChannelSet::size() const
{
  if (!all_)
    return unsigned(bits_.count());
  unsigned n = 0;
  for (Channel c = first(); c; c = next(c))
    ++n;
  return n;
}

bool ChannelSet::contains(const ChannelSet& o) const
{
  if (all_)
    return true;
  if (o.all_)
    return false;
  return (o.bits_ & ~bits_).none();
}

static int knownChannelCount()
{
  ChannelRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return int(r.names.size());
}

Channel ChannelSet::first() const { return next(Chan_Black); }

Channel ChannelSet::next(Channel c) const
{
  int end = all_ ? knownChannelCount() : Chan_Last + 1;
  for (int i = int(c) + 1; i < end; ++i)
    if (all_ || bits_.test(i))
      return Channel(i);
  return Chan_Black;
}

Channel ChannelSet::last() const
{
  Channel l = Chan_Black;
  for (Channel c = first(); c; c = next(c))
    l = c;
  return l;
}

ChannelSet& ChannelSet::operator+=(const ChannelSet& o)
{
  if (o.all_)
    all_ = true;
  bits_ |= o.bits_;
  return *this;
}

ChannelSet& ChannelSet::operator-=(Channel c)
{
  if (all_) {
    // Materialise "all" before taking a channel out.
    for (Channel z = first(); z; z = next(z))
      bits_.set(z);
    all_ = false;
  }
  if (c > Chan_Black && c <= Chan_Last)
    bits_.reset(c);
  return *this;
}

ChannelSet& ChannelSet::operator&=(const ChannelSet& o)
{
  if (o.all_)
    return *this;
  if (all_) {
    all_ = false;
    bits_ = o.bits_;
    return *this;
  }
  bits_ &= o.bits_;
  return *this;
}

std::ostream& operator<<(std::ostream& o, const ChannelSet& s)
{
  if (s.is_all())
    return o << "all";
  if (s.empty())
    return o << "none";
  // Group by layer, in channel order.
  std::vector<std::string> words;
  std::vector<std::pair<std::string, std::vector<Channel>>> layers;
  for (Channel c : s) {
    std::string layer = getLayerName(c);
    if (layers.empty() || layers.back().first != layer)
      layers.push_back({layer, {}});
    layers.back().second.push_back(c);
  }
  int known = knownChannelCount();
  for (auto& [layer, chans] : layers) {
    std::vector<Channel> all;
    for (int i = 1; i < known; ++i)
      if (getLayerName(Channel(i)) == layer)
        all.push_back(Channel(i));
    if (chans == all) {
      words.push_back(layer);
    } else if (layer == "rgba" && chans == std::vector<Channel>{Chan_Red, Chan_Green, Chan_Blue}) {
      words.push_back("rgb");
    } else {
      for (Channel c : chans)
        words.push_back(getName(c));
    }
  }
  for (size_t i = 0; i < words.size(); ++i)
    o << (i ? " " : "") << words[i];
  return o;
}

namespace {

// Every known channel of the layer `name`; empty when there is none.
ChannelSet layerChannels(const std::string& name)
{
  ChannelSet layer;
  const int known = knownChannelCount();
  for (int i = 1; i < known; ++i)
    if (getLayerName(Channel(i)) == name)
      layer += Channel(i);
  return layer;
}

} // namespace

bool parseChannelSet(const std::string& text, ChannelSet& out)
{
  ChannelSet result;
  std::string t = text;
  for (char& c : t)
    if (c == ',')
      c = ' ';
  std::istringstream words(t);
  std::string w;
  bool any = false;
  while (words >> w) {
    any = true;
    if (w == "all") {
      result += Mask_All;
    } else if (w == "none") {
    } else if (w == "rgb") {
      result += Mask_RGB;
    } else if (w == "rgba") {
      result += Mask_RGBA;
    } else if (w == "depth") {
      result += Mask_Z;
    } else if (ChannelSet layer = layerChannels(w); !layer.empty()) {
      // A layer's name, dots and all: every known channel of it.
      result += layer;
    } else if (w.find('.') != std::string::npos || findChannel(w.c_str()) != Chan_Black) {
      Channel c = w.find('.') != std::string::npos ? getChannel(w.c_str()) : findChannel(w.c_str());
      if (c == Chan_Black)
        return false;
      result += c;
    } else {
      return false;
    }
  }
  if (!any)
    return false;
  out = result;
  return true;
}

} // namespace Image
} // namespace DD
