// A retime of a moving pattern whose true in-between frames are known, with the built-in network:
// the learned network, on a smooth synthetic texture unlike what it was trained on, stays well below blending's error.
#include "HostLayer/Render.h"
#include "networks/TestNetworks.h"
#include "runtime/ModelLibrary.h"
#include "support/RetimeRig.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace DD::Image;
using testsupport::RetimeRig;

namespace {

// A smooth texture moving 3 pixels right and 1 up per frame; defined at any fractional frame.
float moving(Channel z, int x, int y, double frame)
{
  const double u = (x - 3.0 * frame) * 0.21, v = (y - 1.0 * frame) * 0.17;
  return float(0.45 + 0.2 * std::sin(u + 0.7 * int(z)) * std::cos(v) + 0.15 * std::sin(0.5 * u - 0.3 * v));
}

} // namespace

TEST(EndToEndRetime, InterpolatedFramesAreMuchCloserToTheTruthThanBlending)
{
  tweenova::setModelLibraryPath(testnetworks::realModelLibrary());
  {
    RetimeRig rig(96, 64, 1, 4, Mask_RGB, moving);
    rig.set("speed", 0.5);  // output frames 1, 2, 3 lie at source positions 1.25, 1.75, 2.25
    for (int f = 1; f <= 3; ++f) {
      HostLayer::RenderResult r = HostLayer::renderFrame(*rig.node, f, Mask_RGB);
      ASSERT_TRUE(r.ok) << r.error;
      const double position = 1.0 + 0.5 * (f - 1) + 0.25;
      const double t = position - std::floor(position);
      double errNet = 0, errBlend = 0;
      int n = 0;
      // Away from the borders, where motion brings in pixels neither frame has.
      for (Channel z : Mask_RGB)
        for (int y = 8; y < 56; ++y)
          for (int x = 8; x < 88; ++x, ++n) {
            const double truth = moving(z, x, y, position);
            const double blend = (1 - t) * moving(z, x, y, std::floor(position)) + t * moving(z, x, y, std::ceil(position));
            errNet += std::pow(r.plane.at(x, y, z) - truth, 2);
            errBlend += std::pow(blend - truth, 2);
          }
      const double rmsNet = std::sqrt(errNet / n), rmsBlend = std::sqrt(errBlend / n);
      EXPECT_LT(rmsNet, 0.6 * rmsBlend) << "output frame " << f << ": network " << rmsNet << ", blend " << rmsBlend;
    }
  }
  tweenova::setModelLibraryPath("");
}
