#include "ExrChannelNames.h"

#include <OpenEXR/ImfChannelList.h>

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>

using namespace DD::Image;

namespace HostLayer {

namespace {

const std::map<std::string, std::string>& colourNames()
{
  static const std::map<std::string, std::string> names = {
    {"R", "red"}, {"G", "green"}, {"B", "blue"}, {"A", "alpha"}, {"r", "red"}, {"g", "green"}, {"b", "blue"},
    {"a", "alpha"}};
  return names;
}

// What the host's channel names cannot hold becomes an underscore.
std::string hostSafe(std::string s)
{
  for (char& c : s)
    if (c == ' ' || c == ',' || c == '\t' || c == '\n' || c == '\r')
      c = '_';
  while (s.find("..") != std::string::npos)
    s.replace(s.find(".."), 2, "._");
  if (!s.empty() && s.front() == '.')
    s.insert(s.begin(), '_');
  if (!s.empty() && s.back() == '.')
    s.push_back('_');
  return s.empty() ? "_" : s;
}

// The host's name of file channel `name`; `partLayer` is the layer of the
// part's unprefixed channels (empty for the first part).
std::string hostName(const std::string& name, const std::string& partLayer)
{
  const size_t dot = name.rfind('.');
  const std::string layer = dot == std::string::npos ? partLayer : name.substr(0, dot);
  const std::string channel = dot == std::string::npos ? name : name.substr(dot + 1);
  const auto colour = colourNames().find(channel);
  if (layer.empty()) {
    if (colour != colourNames().end())
      return "rgba." + colour->second;
    if (channel == "Z" || channel == "z")
      return "depth.Z";
    return "other." + hostSafe(channel);
  }
  return hostSafe(layer) + "." + (colour != colourNames().end() ? colour->second : hostSafe(channel));
}

// Red, green, blue and alpha before a layer's other channels, as viewers list them.
int colourRank(const std::string& host)
{
  static const char* const order[] = {".red", ".green", ".blue", ".alpha"};
  for (int i = 0; i < 4; ++i) {
    const std::string suffix = order[i];
    if (host.size() > suffix.size() && host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0)
      return i;
  }
  return 4;
}

std::string layerOf(const std::string& host) { return host.substr(0, host.rfind('.')); }

// A name not used yet: the layer gets a number when it is taken ("diffuse_2.red").
std::string unused(const std::string& host, const std::set<std::string>& used)
{
  if (!used.count(host))
    return host;
  const std::string layer = layerOf(host), channel = host.substr(host.rfind('.'));
  for (int n = 2;; ++n)
    if (const std::string other = layer + "_" + std::to_string(n) + channel; !used.count(other))
      return other;
}

struct Named {
  std::string host;
  ExrChannelPlace place;
};

} // namespace

std::vector<Channel> presentExrChannels(const std::string& path, const std::vector<Imf::Header>& parts,
                                        std::vector<ExrChannelPlace>& places)
{
  std::vector<Named> named;
  std::set<std::string> used;
  for (size_t p = 0; p < parts.size(); ++p) {
    const Imf::Header& h = parts[p];
    const std::string partLayer =
      p == 0 ? std::string() : h.hasName() ? h.name() : "part" + std::to_string(p);
    for (auto it = h.channels().begin(); it != h.channels().end(); ++it) {
      const std::string host = unused(hostName(it.name(), partLayer), used);
      used.insert(host);
      named.push_back({host, {int(p), it.name()}});
    }
  }
  // Layers in the order they first appear, and within each the colours first.
  std::map<std::string, size_t> firstSeen;
  for (size_t i = 0; i < named.size(); ++i)
    firstSeen.emplace(layerOf(named[i].host), i);
  std::stable_sort(named.begin(), named.end(), [&](const Named& a, const Named& b) {
    const size_t la = firstSeen[layerOf(a.host)], lb = firstSeen[layerOf(b.host)];
    return la != lb ? la < lb : colourRank(a.host) < colourRank(b.host);
  });
  std::vector<Channel> channels;
  places.clear();
  for (const Named& n : named) {
    const Channel c = getChannel(n.host.c_str());
    if (c == Chan_Black)
      throw std::runtime_error("cannot read " + path + ": its channel '" + n.place.name +
                               "' is one more than the host can hold (" + std::to_string(int(Chan_Last)) + ")");
    channels.push_back(c);
    places.push_back(n.place);
  }
  return channels;
}

} // namespace HostLayer
