#pragma once

#include <torch/types.h>

// PU21 perceptually uniform encoding (banding with glare), normalised so
// that linear 1.0 encodes to 1.0. Element-wise; the result has the input's
// type and device.
//
// PU21 itself saturates towards about 2.9 (its decoding clamps at linear
// 500) and sends negative values to 0: highlights, depth and position
// passes would not come back. The encoding here is PU21 on [0, kHighLinear]
// and continues it so that every value comes back: above kHighLinear
// logarithmically and below 0 linearly, each with the slope the curve has
// where it joins. NaN stays NaN, infinities stay infinite.
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

// Where the logarithmic continuation starts (10000 cd/m^2).
constexpr double kHighLinear = 100.0;

// The joins of the continuations, from the curve itself (double precision).
struct Continuation {
  double highEncoded;  // PU21 of kHighLinear, about 2.3222
  double highSlope;    // d encode / d ln(x) there, about 0.2728
  double lowSlope;     // d encode / dx at 0+, about 30.2
};
const Continuation& continuation();

// Linear values to encoded values.
torch::Tensor encode(const torch::Tensor& x);
// Encoded values back to linear values.
torch::Tensor decode(const torch::Tensor& v);

} // namespace pu21
