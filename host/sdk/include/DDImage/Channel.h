#pragma once

#include <string>

namespace DD {
namespace Image {

// A channel is a small integer. The standard channels have fixed numbers;
// any other "layer.channel" name gets the next free number the first time
// it is asked for, so channel order is the order channels became known.
enum Channel : int {
  Chan_Black = 0,
  Chan_Red = 1,
  Chan_Green = 2,
  Chan_Blue = 3,
  Chan_Alpha = 4,
  Chan_Z = 5,
  Chan_Last = 1023,
};

// Channel by full name ("rgba.red", "depth.Z", "diffuse.R"); created when unknown.
// The short names "r", "g", "b", "a", "red", "green", "blue", "alpha" and "Z"
// name the standard channels. Returns Chan_Black for an empty or malformed name.
Channel getChannel(const char* name);
// Channel by name only if it exists already; Chan_Black otherwise.
Channel findChannel(const char* name);
// Full name ("rgba.red"); empty for an unknown number.
const char* getName(Channel c);
// Layer part of the name ("rgba").
std::string getLayerName(Channel c);

} // namespace Image
} // namespace DD
