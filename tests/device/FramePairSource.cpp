#include "device/FramePairSource.h"

#include "DDImage/Iop.h"

#include <stdexcept>

using namespace DD::Image;

namespace devicecheck {

namespace {

class FramePairOp : public Iop {
public:
  FramePairOp(Node* node, std::shared_ptr<const Image> first, std::shared_ptr<const Image> second)
    : Iop(node), first_(std::move(first)), second_(std::move(second))
  {}
  const char* Class() const override { return "FramePair"; }
  const char* node_help() const override { return "Serves two images from memory as frames 1 and 2."; }
  int minimum_inputs() const override { return 0; }
  int maximum_inputs() const override { return 0; }

  void _validate(bool) override
  {
    info_.set(0, 0, first_->width, first_->height);
    info_.format(Format{first_->width, first_->height, ""});
    info_.channels(Mask_RGB);
    info_.first_frame(1);
    info_.last_frame(2);
  }

  // The plane's box and channels; rows run bottom-up in the host, top-down in the image.
  void fetchPlane(ImagePlane& plane) override
  {
    const Image& image = outputContext().frame() < 1.5 ? *first_ : *second_;
    plane.makeWritable();
    const Box& b = plane.bounds();
    int z = 0;
    for (Channel c : plane.channels()) {
      if (z >= plane.nComps())
        break;
      const int source = c == Chan_Red ? 0 : c == Chan_Green ? 1 : c == Chan_Blue ? 2 : -1;
      for (int y = b.y(); y < b.t(); ++y) {
        float* row = plane.writable() + (y - b.y()) * plane.rowStride() + z * plane.chanStride();
        for (int x = b.x(); x < b.r(); ++x) {
          const bool inside = source >= 0 && x >= 0 && x < image.width && y >= 0 && y < image.height;
          row[(x - b.x()) * plane.colStride()] = inside ? image.at(source, x, image.height - 1 - y) : 0.0f;
        }
      }
      ++z;
    }
  }

private:
  std::shared_ptr<const Image> first_;
  std::shared_ptr<const Image> second_;
};

} // namespace

std::unique_ptr<HostLayer::HostNode> createFramePairNode(const std::string& name, std::shared_ptr<const Image> first,
                                          std::shared_ptr<const Image> second)
{
  if (!first || !second || first->width != second->width || first->height != second->height)
    throw std::invalid_argument("createFramePairNode: two images of one size are needed");
  return std::make_unique<HostLayer::HostNode>(name, [first, second](Node* n) { return new FramePairOp(n, first, second); });
}

} // namespace devicecheck
