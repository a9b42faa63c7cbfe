#include "inference/PU21.h"

namespace pu21 {

torch::Tensor encode(const torch::Tensor& x)
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

torch::Tensor decode(const torch::Tensor& v)
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

} // namespace pu21
