#include "DDImage/Iop.h"
#include "DDImage/PlanarIop.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace DD {
namespace Image {

Iop* Iop::input(int n) const { return dynamic_cast<Iop*>(Op::input(n)); }

void Iop::copy_info() { copy_info(0); }

void Iop::copy_info(int n)
{
  Iop* in = input(n);
  if (!in)
    return;
  in->validate(true);
  info_ = in->info();
}

void Iop::_validate(bool for_real)
{
  (void)for_real;
  copy_info();
}

void Iop::getRequests(const Box& box, const ChannelSet& channels, int count, RequestOutput& reqData) const
{
  for (int i = 0; i < inputs(); ++i)
    if (Iop* in = input(i))
      reqData.request(in, box, channels, count);
}

namespace {

// Copies `from` into the same box and channels of `to`, which covers it; the
// two may differ in layout.
void copyInto(const ImagePlane& from, ImagePlane& to)
{
  const Box& fb = from.bounds();
  const Box& tb = to.bounds();
  const int n = std::min(from.nComps(), to.nComps());
  for (int z = 0; z < n; ++z)
    for (int row = 0; row < fb.h(); ++row)
      for (int col = 0; col < fb.w(); ++col)
        to.writable()[(fb.y() - tb.y() + row) * to.rowStride() + (fb.x() - tb.x() + col) * to.colStride() +
                      z * to.chanStride()] =
          from.readable()[row * from.rowStride() + col * from.colStride() + z * from.chanStride()];
}

// Calls renderStripe for the plane, in stripes when the operator wants them.
void renderInStripes(PlanarIop& op, ImagePlane& plane)
{
  if (!op.useStripes() || plane.bounds().h() <= int(op.stripeHeight())) {
    op.renderStripe(plane);
    return;
  }
  // Render stripe by stripe and gather them into the plane.
  plane.makeWritable();
  const Box& b = plane.bounds();
  int step = std::max<int>(1, int(op.stripeHeight()));
  for (int y = b.y(); y < b.t(); y += step) {
    Box sb(b.x(), y, b.r(), std::min(b.t(), y + step));
    ImagePlane stripe(sb, plane.packed(), plane.channels(), plane.nComps());
    op.renderStripe(stripe);
    if (stripe.memory().isAllocated())
      copyInto(stripe, plane);
  }
}

} // namespace

void PlanarIop::fetchPlane(ImagePlane& plane)
{
  // The operator renders in the layout it prefers; the caller gets its own.
  const PackedPreference preference = packedPreference();
  const bool packed = preference == ePackedPreferenceNone ? plane.packed() : preference == ePackedPreferencePacked;
  if (packed == plane.packed()) {
    renderInStripes(*this, plane);
    return;
  }
  ImagePlane rendered(plane.bounds(), packed, plane.channels(), plane.nComps());
  renderInStripes(*this, rendered);
  if (!rendered.memory().isAllocated())
    return;
  plane.makeWritable();
  copyInto(rendered, plane);
}

// ---------------------------------------------------------------------------

void RefCountedFloatBuffer::allocate(size_t count)
{
  data_ = std::shared_ptr<float[]>(new float[count > 0 ? count : 1]);
  size_ = count;
}

ImagePlane::ImagePlane(const Box& box, bool packed, const ChannelSet& channels, int nComps)
  : box_(box), packed_(packed), channels_(channels), nComps_(nComps)
{}

ImagePlane::ImagePlane(const Box& box, bool packed, const ChannelSet& channels)
  : ImagePlane(box, packed, channels, int(channels.size()))
{}

int ImagePlane::chanNo(Channel c) const
{
  int i = 0;
  for (Channel z : channels_) {
    if (z == c)
      return i < nComps_ ? i : -1;
    ++i;
  }
  return -1;
}

void ImagePlane::makeWritable()
{
  if (buffer_.isAllocated())
    return;
  std::unique_lock<std::shared_mutex> lock(*lock_);
  if (!buffer_.isAllocated())
    buffer_.allocate(bufferSize());
}

float ImagePlane::at(int x, int y, Channel z) const
{
  int k = chanNo(z);
  if (k < 0 || !buffer_.isAllocated() || x < box_.x() || x >= box_.r() || y < box_.y() || y >= box_.t())
    return 0.0f;
  return readable()[(y - box_.y()) * rowStride() + (x - box_.x()) * colStride() + k * chanStride()];
}

} // namespace Image
} // namespace DD
