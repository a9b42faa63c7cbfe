#include "inference/PU21.h"

#include <cmath>

namespace pu21 {

namespace {

// PU21 and its derivative by x, for x >= 0, in double precision.
double curve(double x)
{
  const double y = std::pow(x * 100.0 + 0.005, p4);
  const double v = (y * p2 + p1) / (y * p3 + 1.0);
  return (std::pow(v, p5) - p6) * p7 / N;
}

double slope(double x)
{
  const double a = x * 100.0 + 0.005;
  const double y = std::pow(a, p4);
  const double v = (y * p2 + p1) / (y * p3 + 1.0);
  const double dvdy = (p2 - p1 * p3) / ((y * p3 + 1.0) * (y * p3 + 1.0));
  return p7 / N * p5 * std::pow(v, p5 - 1.0) * dvdy * p4 * std::pow(a, p4 - 1.0) * 100.0;
}

// The published curves, for values within [0, kHighLinear] and [0, highEncoded].
torch::Tensor curveEncode(const torch::Tensor& x)
{
  torch::Tensor a = x * 100.0;  // linear 1.0 is 100 cd/m^2
  a = torch::clamp_min(a, 0.0);
  a = a + 0.005;
  const torch::Tensor y = a.pow(p4);
  const torch::Tensor d = y * p3 + 1.0;
  const torch::Tensor u = y * p2 + p1;
  const torch::Tensor v = u / d;
  torch::Tensor s = v.pow(p5);
  s = (s - p6) * p7;
  s = torch::clamp_min(s, 0.0);
  return s / N;
}

torch::Tensor curveDecode(const torch::Tensor& v)
{
  torch::Tensor V = torch::clamp_min(v, 0.0) * N;
  V = V / p7 + p6;
  V = torch::clamp_min(V, 1e-9);
  const torch::Tensor Vp = V.pow(1.0 / p5);
  torch::Tensor den = torch::full_like(Vp, p2) - Vp * p3;
  den = torch::clamp_min(den, 0.001);
  const torch::Tensor num = Vp - p1;
  const torch::Tensor r = torch::clamp_min(num / den, 1e-9);
  torch::Tensor Y = r.pow(1.0 / p4);
  Y = torch::clamp(Y - 0.005, 0.0, 50000.0);
  return Y / 100.0;
}

} // namespace

const Continuation& continuation()
{
  static const Continuation c{curve(kHighLinear), slope(kHighLinear) * kHighLinear, slope(0.0)};
  return c;
}

torch::Tensor encode(const torch::Tensor& x)
{
  const Continuation& c = continuation();
  const torch::Tensor high = torch::log(torch::clamp_min(x, kHighLinear) * (1.0 / kHighLinear)) * c.highSlope +
                             c.highEncoded;
  const torch::Tensor inside = curveEncode(torch::clamp_max(x, kHighLinear));
  return torch::where(x > kHighLinear, high, torch::where(x < 0.0, x * c.lowSlope, inside));
}

torch::Tensor decode(const torch::Tensor& v)
{
  const Continuation& c = continuation();
  const torch::Tensor high =
    torch::exp((torch::clamp_min(v, c.highEncoded) - c.highEncoded) * (1.0 / c.highSlope)) * kHighLinear;
  const torch::Tensor inside = curveDecode(torch::clamp_max(v, c.highEncoded));
  return torch::where(v > c.highEncoded, high, torch::where(v < 0.0, v * (1.0 / c.lowSlope), inside));
}

} // namespace pu21
