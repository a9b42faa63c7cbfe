#include "inference/PU21.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

double encodeOne(double x) { return pu21::encode(torch::tensor({x}, torch::kFloat64)).item<double>(); }
double decodeOne(double v) { return pu21::decode(torch::tensor({v}, torch::kFloat64)).item<double>(); }

} // namespace

TEST(PU21, EncodesTheWorkedValues)
{
  EXPECT_NEAR(encodeOne(0.0), 2.13e-12, 0.01e-12);
  EXPECT_DOUBLE_EQ(encodeOne(-5.0), encodeOne(0.0));  // negative light counts as none
  EXPECT_NEAR(encodeOne(0.18), 0.601, 0.0005);
  EXPECT_NEAR(encodeOne(1.0), 1.0, 1e-12);
  EXPECT_NEAR(encodeOne(10.0), 1.639, 0.0005);
  EXPECT_NEAR(encodeOne(100.0), 2.322, 0.0005);
}

TEST(PU21, DecodesTheWorkedValues)
{
  EXPECT_EQ(decodeOne(0.0), 0.0);
  EXPECT_EQ(decodeOne(-0.5), 0.0);
  EXPECT_NEAR(decodeOne(0.5), 0.1095, 0.00005);
  EXPECT_NEAR(decodeOne(1.0), 1.0, 1e-9);
  EXPECT_NEAR(decodeOne(2.0), 33.06, 0.005);
  EXPECT_DOUBLE_EQ(decodeOne(3.0), 500.0);  // the upper clamp
  EXPECT_DOUBLE_EQ(decodeOne(10.0), 500.0);
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
