#include "inference/PU21.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

double encodeOne(double x) { return pu21::encode(torch::tensor({x}, torch::kFloat64)).item<double>(); }
double decodeOne(double v) { return pu21::decode(torch::tensor({v}, torch::kFloat64)).item<double>(); }

} // namespace

TEST(PU21, EncodesTheWorkedValues)
{
  EXPECT_NEAR(encodeOne(0.0), 2.13e-12, 0.01e-12);
  EXPECT_NEAR(encodeOne(0.18), 0.601, 0.0005);
  EXPECT_NEAR(encodeOne(1.0), 1.0, 1e-12);
  EXPECT_NEAR(encodeOne(10.0), 1.639, 0.0005);
  EXPECT_NEAR(encodeOne(100.0), 2.322, 0.0005);
}

TEST(PU21, DecodesTheWorkedValues)
{
  EXPECT_EQ(decodeOne(0.0), 0.0);
  EXPECT_NEAR(decodeOne(0.5), 0.1095, 0.00005);
  EXPECT_NEAR(decodeOne(1.0), 1.0, 1e-9);
  EXPECT_NEAR(decodeOne(2.0), 33.06, 0.005);
}

TEST(PU21, EveryValueComesBackBeyondTheCurve)
{
  // Highlights, depth, position passes: PU21 alone would send 5000 to 500 and -50 to 0.
  const pu21::Continuation& c = pu21::continuation();
  EXPECT_NEAR(c.highEncoded, 2.3222457, 1e-6);
  for (double x : {-1e6, -50.0, -1.0, -1e-6, 1e-6, 0.18, 99.999, 100.0, 100.001, 500.0, 5000.0, 1e4, 1e6, 1e12}) {
    const double v = encodeOne(x);
    EXPECT_NEAR(decodeOne(v), x, 1e-9 * std::max(1.0, std::fabs(x))) << x;
    EXPECT_LT(encodeOne(x - 1e-6 * std::max(1.0, std::fabs(x))), v) << x;  // increasing throughout
  }
  // The joins are continuous: the curve on either side meets its continuation.
  EXPECT_NEAR(encodeOne(100.0 * (1 + 1e-9)), encodeOne(100.0), 1e-8);
  EXPECT_NEAR(encodeOne(-1e-12), encodeOne(0.0), 1e-10);
  EXPECT_GT(decodeOne(3.0), 500.0);
  // Float32 keeps about a millionth of a highlight.
  const torch::Tensor x = torch::tensor({-50.0f, 5000.0f, 1e4f, 1e7f});
  const torch::Tensor back = pu21::decode(pu21::encode(x));
  for (int64_t i = 0; i < x.numel(); ++i)
    EXPECT_NEAR(back[i].item<float>(), x[i].item<float>(), 1e-5 * std::fabs(x[i].item<float>())) << i;
  // NaN stays NaN, infinities stay infinite, in either direction.
  const float inf = std::numeric_limits<float>::infinity();
  const torch::Tensor odd = torch::tensor({std::nanf(""), inf, -inf});
  for (const torch::Tensor& t : {pu21::encode(odd), pu21::decode(odd), pu21::decode(pu21::encode(odd))}) {
    EXPECT_TRUE(std::isnan(t[0].item<float>()));
    EXPECT_EQ(t[1].item<float>(), inf);
    EXPECT_EQ(t[2].item<float>(), -inf);
  }
}

TEST(PU21, Float32RoundTripKeepsTypeAndValues)
{
  const torch::Tensor x = torch::tensor({0.0f, 0.01f, 0.18f, 1.0f, 4.0f, 50.0f, 250.0f});
  const torch::Tensor encoded = pu21::encode(x);
  EXPECT_EQ(encoded.scalar_type(), torch::kFloat32);
  EXPECT_NEAR(encoded[3].item<float>(), 1.0f, 1e-5f);
  const torch::Tensor back = pu21::decode(encoded);
  EXPECT_EQ(back.scalar_type(), torch::kFloat32);
  for (int64_t i = 0; i < x.numel(); ++i)
    EXPECT_NEAR(back[i].item<float>(), x[i].item<float>(), 1e-3 * std::max(1.0f, x[i].item<float>())) << i;
}
