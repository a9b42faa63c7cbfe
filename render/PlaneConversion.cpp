// Moving image data between host planes and tensors.
#include "render/PlaneConversion.h"

#include "DDImage/ImagePlane.h"
#include "DDImage/Iop.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <vector>

using namespace DD::Image;

namespace {

int64_t boxArea(const Box& box) { return int64_t(std::max(0, box.w())) * int64_t(std::max(0, box.h())); }

std::string describeBox(const Box& b)
{
  std::ostringstream s;
  s << b;
  return s.str();
}

// Position of channel c within `set`, in the set's order; -1 when absent.
int positionIn(const ChannelSet& set, Channel c)
{
  int k = 0;
  for (Channel z : set) {
    if (z == c)
      return k;
    ++k;
  }
  return -1;
}

// Copies `plane` ([H, W] of any floating type and device) into plane k of `base` ([n, H, W]).
void replacePlane(torch::Tensor& base, int k, const torch::Tensor& plane)
{
  TORCH_CHECK(plane.dim() == 2 && plane.size(0) == base.size(1) && plane.size(1) == base.size(2),
              "Network result plane has shape ", plane.sizes(), ", expected [", base.size(1), ", ", base.size(2), "]");
  base.select(0, k).copy_(plane);
}

} // namespace

void fetchPlanar(Iop* source, const Box& box, const ChannelSet& channels, int n, float* dest)
{
  const int W = std::max(0, box.w());
  const int64_t area = boxArea(box);
  if (n <= 0 || area == 0)
    return;
  const Box* in = source ? &source->info().box() : nullptr;
  const int cx = in ? std::max(box.x(), in->x()) : 0, cy = in ? std::max(box.y(), in->y()) : 0;
  const int cr = in ? std::min(box.r(), in->r()) : 0, ct = in ? std::min(box.t(), in->t()) : 0;
  // Zeros wherever the source does not cover the box (the copy below fills the rest).
  if (cx > box.x() || cy > box.y() || cr < box.r() || ct < box.t())
    std::fill(dest, dest + int64_t(n) * area, 0.0f);
  if (!source || cx >= cr || cy >= ct)
    return;

  const Box clipped(cx, cy, cr, ct);
  ImagePlane plane(clipped, false, channels, n);
  source->fetchPlane(plane);
  // A source that renders nothing (it failed, or was aborted) leaves no image
  // to pass on; its reason, when it gave one, goes with the failure.
  if (!plane.memory().isAllocated())
    throw std::runtime_error("Input '" + source->node_name() + "' rendered no image" +
                             (source->hasError() ? ": " + source->errorMessage() : std::string()));

  const int cw = cr - cx, ch = ct - cy;
  const size_t block = size_t(cw) * size_t(ch);
  if (plane.memory().size() < block * size_t(n))
    throw std::runtime_error("Input '" + source->node_name() + "' delivered " + std::to_string(plane.memory().size()) +
                             " values for " + std::to_string(n) + " channel(s) over " + describeBox(clipped));
  const float* src = plane.memory();
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < ch; ++j)
      std::memcpy(dest + k * area + int64_t(cy - box.y() + j) * W + (cx - box.x()),
                  src + k * block + size_t(j) * cw, size_t(cw) * sizeof(float));
}

torch::Tensor makeModelInput(int modelChannels, int W, int H, int64_t area, const std::vector<float>& buffer, int a,
                             int b, int c)
{
  torch::Tensor t = torch::empty({1, modelChannels, H, W}, torch::dtype(torch::kFloat32).device(torch::kCPU));
  const int planes[3] = {a, b, c};
  for (int m = 0; m < 3; ++m) {
    const int p = planes[m];
    if (p < 0 || int64_t(p + 1) * area > int64_t(buffer.size()))
      throw std::out_of_range("Plane " + std::to_string(p) + " is outside a buffer of " +
                              std::to_string(area > 0 ? int64_t(buffer.size()) / area : 0) + " plane(s)");
    // from_blob does not copy; the const_cast never leads to a write.
    torch::Tensor src = torch::from_blob(const_cast<float*>(buffer.data()) + int64_t(p) * area, {H, W},
                                         torch::dtype(torch::kFloat32));
    t.select(0, 0).select(0, m).copy_(src);
  }
  return t;
}

void mergeOutput(ImagePlane& outputPlane, Iop* source0, const Box& box, const ChannelSet& requested,
                 const std::vector<Channel>& selectedChannels, int nModel, const torch::Tensor& R,
                 const std::optional<torch::Tensor>& R4)
{
  const int nOut = int(requested.size());
  const int W = std::max(0, box.w()), H = std::max(0, box.h());
  const int64_t area = boxArea(box);
  auto position = [&](size_t entry) {
    TORCH_CHECK(entry < selectedChannels.size(), "No selected channel ", entry);
    const int k = positionIn(requested, selectedChannels[entry]);
    TORCH_CHECK(k >= 0, "Selected channel ", getName(selectedChannels[entry]), " is not requested");
    return k;
  };
  std::vector<int> replaced;
  for (int i = 0; i < nModel; ++i)
    replaced.push_back(position(size_t(i)));
  if (R4)
    replaced.push_back(position(3));

  // Source frame 0 shows through wherever the network's result does not replace it.
  torch::Tensor base = torch::empty({nOut, H, W}, torch::dtype(torch::kFloat32).device(torch::kCPU));
  std::vector<int> distinct = replaced;
  std::sort(distinct.begin(), distinct.end());
  if (std::unique(distinct.begin(), distinct.end()) - distinct.begin() < nOut)
    fetchPlanar(source0, box, requested, nOut, base.data_ptr<float>());

  for (int i = 0; i < nModel; ++i)
    replacePlane(base, replaced[size_t(i)], R.select(0, i));
  if (R4)
    replacePlane(base, replaced.back(), R4->squeeze(0).select(0, 1));

  writePackedPlane(outputPlane, base, nOut, area);
}

std::string packedPlaneMismatch(const ImagePlane& plane, const Box& box, int n)
{
  const bool sizeOk = !plane.memory().isAllocated() || plane.memory().size() >= size_t(n) * size_t(boxArea(box));
  if (plane.packed() && plane.bounds() == box && plane.nComps() == n && sizeOk)
    return {};
  std::ostringstream s;
  s << "Output plane does not match the node's output: expected a packed plane over " << box << " with " << n
    << " channel(s), got " << (plane.packed() ? "a packed" : "an unpacked") << " plane over " << plane.bounds()
    << " with " << plane.nComps() << " channel(s)";
  if (!sizeOk)
    s << " and a buffer of " << plane.memory().size() << " values";
  return s.str();
}

void writePackedPlane(ImagePlane& plane, const torch::Tensor& T, int n, int64_t area)
{
  if (T.dim() != 3 || T.size(0) != n || T.size(1) * T.size(2) != area)
    throw std::runtime_error("Cannot write a tensor of shape " + shapeString(T) + " as " + std::to_string(n) +
                             " channel(s) of " + std::to_string(area) + " pixels");
  const Box b(plane.bounds().x(), plane.bounds().y(), plane.bounds().x() + int(T.size(2)),
              plane.bounds().y() + int(T.size(1)));
  if (std::string why = packedPlaneMismatch(plane, b, n); !why.empty())
    throw std::runtime_error(why);

  RefCountedFloatBuffer& memory = plane.memory();
  if (!memory.isAllocated()) {
    std::unique_lock<std::shared_mutex> lock(plane.writeLock());
    if (!memory.isAllocated())
      memory.allocate(plane.bufferSize());
  }
  const size_t count = size_t(n) * size_t(area);
  if (memory.size() < count)
    throw std::runtime_error("Output plane buffer holds " + std::to_string(memory.size()) + " values, " +
                             std::to_string(count) + " needed");
  if (count == 0)
    return;
  // Interleaved straight into the plane: channel k of pixel i goes to i * n + k.
  const torch::Tensor planar = T.to(torch::kCPU, torch::kFloat32).contiguous();
  const float* src = planar.data_ptr<float>();
  float* dst = static_cast<float*>(memory);
  for (int k = 0; k < n; ++k) {
    const float* channel = src + int64_t(k) * area;
    for (int64_t i = 0; i < area; ++i)
      dst[i * n + k] = channel[i];
  }
}

void copyPlane(ImagePlane& plane, Iop* source, const Box& box)
{
  const int n = int(plane.channels().size());
  const int W = std::max(0, box.w()), H = std::max(0, box.h());
  torch::Tensor base = torch::empty({n, H, W}, torch::dtype(torch::kFloat32).device(torch::kCPU));
  fetchPlanar(source, box, plane.channels(), n, base.data_ptr<float>());
  writePackedPlane(plane, base, n, boxArea(box));
}

std::string shapeString(const torch::Tensor& t)
{
  std::string s = "[";
  for (int64_t d = 0; d < t.dim(); ++d) {
    if (d > 0)
      s += ", ";
    s += std::to_string(t.size(d));
  }
  return s + "]";
}
