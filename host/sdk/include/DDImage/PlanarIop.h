#pragma once

#include "DDImage/Iop.h"

#include <cstddef>

namespace DD {
namespace Image {

// Image operator that renders whole planes (many channels at once) instead of rows.
class PlanarIop : public Iop {
public:
  enum PackedPreference {
    ePackedPreferenceNone = 0,
    ePackedPreferencePacked = 1,
    ePackedPreferenceUnpacked = 2,
  };

  explicit PlanarIop(Node* node) : Iop(node) {}

  // Whether the host may split the output into horizontal stripes.
  virtual bool useStripes() const { return true; }
  virtual size_t stripeHeight() const { return 256; }
  virtual PackedPreference packedPreference() const { return ePackedPreferenceNone; }

  // Renders the plane; the host makes the plane cover the requested box and channels.
  virtual void renderStripe(ImagePlane& plane) = 0;

  // Renders into a plane by calling renderStripe, in stripes when useStripes() says so.
  void fetchPlane(ImagePlane& plane) override;

protected:
  void _open() override {}
};

} // namespace Image
} // namespace DD
