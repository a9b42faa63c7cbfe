// Moving image data between host planes and tensors.
#include "render/PlaneConversion.h"

#include "DDImage/ImagePlane.h"
#include "DDImage/Iop.h"

#include <algorithm>
#include <cstring>
#include <memory>
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

// `channels` of `source` over `clipped`, which the source's box covers, as an unpacked plane.
ImagePlane fetchCovered(Iop& source, const Box& clipped, const ChannelSet& channels, int n)
{
  ImagePlane plane(clipped, false, channels, n);
  source.fetchPlane(plane);
  // A source that renders nothing (it failed, or was aborted) leaves no image
  // to pass on; its reason, when it gave one, goes with the failure.
  if (!plane.memory().isAllocated())
    throw std::runtime_error("Input '" + source.node_name() + "' rendered no image" +
                             (source.hasError() ? ": " + source.errorMessage() : std::string()));
  if (plane.memory().size() < size_t(boxArea(clipped)) * size_t(n))
    throw std::runtime_error("Input '" + source.node_name() + "' delivered " + std::to_string(plane.memory().size()) +
                             " values for " + std::to_string(n) + " channel(s) over " + describeBox(clipped));
  return plane;
}

// The part of `box` that the source's box covers; empty without a source.
Box coveredPart(const Iop* source, const Box& box)
{
  if (!source)
    return Box(0, 0, 0, 0);
  const Box& in = source->info().box();
  return Box(std::max(box.x(), in.x()), std::max(box.y(), in.y()), std::min(box.r(), in.r()),
             std::min(box.t(), in.t()));
}

} // namespace

void fetchPlanar(Iop* source, const Box& box, const ChannelSet& channels, int n, float* dest)
{
  const int W = std::max(0, box.w());
  const int64_t area = boxArea(box);
  if (n <= 0 || area == 0)
    return;
  const Box covered = coveredPart(source, box);
  // Zeros wherever the source does not cover the box (the copy below fills the rest).
  if (covered != box)
    std::fill(dest, dest + int64_t(n) * area, 0.0f);
  if (covered.is_empty())
    return;

  const ImagePlane plane = fetchCovered(*source, covered, channels, n);
  const int cw = covered.w(), ch = covered.h();
  const size_t block = size_t(cw) * size_t(ch);
  const float* src = plane.readable();
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < ch; ++j)
      std::memcpy(dest + k * area + int64_t(covered.y() - box.y() + j) * W + (covered.x() - box.x()),
                  src + k * block + size_t(j) * cw, size_t(cw) * sizeof(float));
}

torch::Tensor fetchPlanes(Iop* source, const Box& box, const ChannelSet& channels, int n)
{
  const int W = std::max(0, box.w()), H = std::max(0, box.h());
  const auto options = torch::dtype(torch::kFloat32).device(torch::kCPU);
  if (n > 0 && W > 0 && H > 0 && coveredPart(source, box) == box) {
    // The plane the source filled is the tensor's storage, held as long as the tensor.
    auto plane = std::make_unique<ImagePlane>(fetchCovered(*source, box, channels, n));
    ImagePlane* held = plane.get();
    torch::Tensor planes = torch::from_blob(held->writable(), {n, H, W}, [held](void*) { delete held; }, options);
    plane.release();
    return planes;
  }
  torch::Tensor planes = torch::empty({std::max(n, 0), H, W}, options);
  fetchPlanar(source, box, channels, n, planes.data_ptr<float>());
  return planes;
}

torch::Tensor makeModelInput(int modelChannels, const torch::Tensor& planes, int a, int b, int c)
{
  const int64_t n = planes.size(0);
  for (int p : {a, b, c})
    if (p < 0 || p >= n)
      throw std::out_of_range("Plane " + std::to_string(p) + " is outside a buffer of " + std::to_string(n) +
                              " plane(s)");
  // The usual case, three channels in their order, is the buffer itself.
  if (modelChannels == 3 && a == 0 && b == 1 && c == 2)
    return planes.narrow(0, 0, 3).unsqueeze(0);
  torch::Tensor t = torch::empty({1, modelChannels, planes.size(1), planes.size(2)}, planes.options());
  const int chosen[3] = {a, b, c};
  for (int m = 0; m < 3; ++m)
    t.select(0, 0).select(0, m).copy_(planes.select(0, chosen[m]));
  return t;
}

void mergeOutput(ImagePlane& outputPlane, Iop* source0, const Box& box, const ChannelSet& requested,
                 const std::vector<Channel>& selectedChannels, int nModel, const torch::Tensor& R,
                 const std::optional<torch::Tensor>& R4)
{
  const int nOut = int(requested.size());
  const int W = std::max(0, box.w()), H = std::max(0, box.h());
  auto position = [&](size_t entry) {
    TORCH_CHECK(entry < selectedChannels.size(), "No selected channel ", entry);
    const int k = positionIn(requested, selectedChannels[entry]);
    TORCH_CHECK(k >= 0, "Selected channel ", getName(selectedChannels[entry]), " is not requested");
    return k;
  };
  // Which output channel each result plane replaces, checked before the plane is touched.
  std::vector<std::pair<int, torch::Tensor>> replaced;
  for (int i = 0; i < nModel; ++i)
    replaced.emplace_back(position(size_t(i)), R.select(0, i));
  if (R4)
    replaced.emplace_back(position(3), R4->squeeze(0).select(0, 1));
  std::vector<int> distinct;
  for (const auto& [k, plane] : replaced) {
    TORCH_CHECK(plane.dim() == 2 && plane.size(0) == H && plane.size(1) == W, "Network result plane has shape ",
                plane.sizes(), ", expected [", H, ", ", W, "]");
    distinct.push_back(k);
  }
  std::sort(distinct.begin(), distinct.end());

  // Source frame 0 shows through wherever the network's result does not replace it.
  std::optional<torch::Tensor> first;
  if (std::unique(distinct.begin(), distinct.end()) - distinct.begin() < nOut)
    first = fetchPlanes(source0, box, requested, nOut);
  // Written straight into the plane.
  torch::Tensor out = packedPlaneView(outputPlane, nOut, H, W);
  if (first)
    out.copy_(*first);
  for (const auto& [k, plane] : replaced)
    out.select(0, k).copy_(plane);
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

torch::Tensor packedPlaneView(ImagePlane& plane, int n, int H, int W)
{
  const Box b(plane.bounds().x(), plane.bounds().y(), plane.bounds().x() + W, plane.bounds().y() + H);
  if (std::string why = packedPlaneMismatch(plane, b, n); !why.empty())
    throw std::runtime_error(why);
  RefCountedFloatBuffer& memory = plane.memory();
  if (!memory.isAllocated()) {
    std::unique_lock<std::shared_mutex> lock(plane.writeLock());
    if (!memory.isAllocated())
      memory.allocate(plane.bufferSize());
  }
  const size_t count = size_t(n) * size_t(std::max(0, H)) * size_t(std::max(0, W));
  if (memory.size() < count)
    throw std::runtime_error("Output plane buffer holds " + std::to_string(memory.size()) + " values, " +
                             std::to_string(count) + " needed");
  // Channel k of the pixel in row j, column i sits at (j * W + i) * n + k.
  return torch::from_blob(static_cast<float*>(memory), {H, W, n}, torch::dtype(torch::kFloat32)).permute({2, 0, 1});
}

void writePackedPlane(ImagePlane& plane, const torch::Tensor& T, int n, int64_t area)
{
  if (T.dim() != 3 || T.size(0) != n || T.size(1) * T.size(2) != area)
    throw std::runtime_error("Cannot write a tensor of shape " + shapeString(T) + " as " + std::to_string(n) +
                             " channel(s) of " + std::to_string(area) + " pixels");
  packedPlaneView(plane, n, int(T.size(1)), int(T.size(2))).copy_(T);
}

void copyPlane(ImagePlane& plane, Iop* source, const Box& box)
{
  const int n = int(plane.channels().size());
  writePackedPlane(plane, fetchPlanes(source, box, plane.channels(), n), n, boxArea(box));
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
