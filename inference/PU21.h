#pragma once

#include <torch/types.h>

// PU21 perceptually uniform encoding (banding with glare), normalised so
// that linear 1.0 encodes to 1.0. Element-wise; the result has the input's
// type and device.
namespace pu21 {

constexpr double p1 = 0.353487901;
constexpr double p2 = 0.3734658629;
constexpr double p3 = 8.277049286e-05;
constexpr double p4 = 0.9062562627;
constexpr double p5 = 0.09150303166;
constexpr double p6 = 0.9099517204;
constexpr double p7 = 596.3148142;
// The unnormalised encoding of linear 1.0 (luminance 100.005).
constexpr double N = 256.38714480338587;

// Linear values to encoded values; negative values encode as 0 does.
torch::Tensor encode(const torch::Tensor& x);
// Encoded values back to linear values in [0, 500].
torch::Tensor decode(const torch::Tensor& v);

} // namespace pu21
