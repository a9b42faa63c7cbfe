#pragma once

namespace HostLayer {

// The sRGB transfer function, per value: decoding to linear light and encoding back.
float srgbToLinear(float v);
float linearToSrgb(float v);

} // namespace HostLayer
