#include "HostLayer/Render.h"

#include "DDImage/Iop.h"
#include "DDImage/PlanarIop.h"
#include "HostLayer/HostNode.h"

#include <stdexcept>

using namespace DD::Image;

namespace HostLayer {

std::optional<SourceFrame> sourceFrameOf(const Op* op)
{
  for (int depth = 0; op && depth < 256; ++depth) {
    if (const auto* reader = dynamic_cast<const SourceFrameReader*>(op))
      return reader->sourceFrame();
    op = op->inputs() > 0 ? op->input(0) : nullptr;
  }
  return std::nullopt;
}

namespace {

struct Lease {
  HostNode& node;
  Op* op;
  ~Lease() { node.release(op); }
};

} // namespace

bool validateOperator(HostNode& node, Op* op, std::string& error, bool* inputFailed)
{
  if (inputFailed)
    *inputFailed = false;
  // An operator may set its node's knobs while it validates (a range taken from its input).
  auto lock = node.lockKnobs();
  bool ok = op->tryValidate(true);
  if (ok) {
    node.refresh(op);
    ok = op->tryValidate(true);
  }
  if (!ok) {
    error = op->errorMessage().empty() ? "validation failed" : op->errorMessage();
    return false;
  }
  for (int i = 0; i < op->inputs(); ++i) {
    Op* in = op->input(i);
    if (in && in->hasError()) {
      error = in->errorMessage();
      if (inputFailed)
        *inputFailed = true;
      return false;
    }
  }
  return true;
}

bool validateNode(HostNode& node, double frame, FrameInfoSummary& info, std::string& error, bool* inputFailed)
{
  node.clearError();
  Lease lease{node, node.acquire(OutputContext(frame))};
  const bool valid = validateOperator(node, lease.op, error, inputFailed);
  if (!valid && !(inputFailed && *inputFailed))
    return false;
  Iop* iop = dynamic_cast<Iop*>(lease.op);
  if (!iop) {
    error = "node '" + node.name() + "' is not an image operator";
    if (inputFailed)
      *inputFailed = false;
    return false;
  }
  info.first = iop->info().first_frame();
  info.last = iop->info().last_frame();
  info.box = iop->info().box();
  info.channels = iop->info().channels();
  info.format = iop->info().format();
  return valid;
}

RenderResult renderFrame(HostNode& node, double frame, const ChannelSet& channels)
{
  RenderResult result;
  node.clearError();
  Lease lease{node, node.acquire(OutputContext(frame))};
  Op* op = lease.op;
  Iop* iop = dynamic_cast<Iop*>(op);
  if (!iop) {
    result.error = "node '" + node.name() + "' is not an image operator";
    return result;
  }
  try {
    if (!validateOperator(node, op, result.error))
      return result;

    ChannelSet wanted = channels;
    wanted &= iop->info().channels();
    const Box box = iop->info().box();
    result.format = iop->info().format();
    result.source = sourceFrameOf(op);
    if (box.is_empty() || wanted.empty()) {
      result.error = "nothing to render (empty output box or no channels)";
      return result;
    }

    RequestOutput requests;
    iop->getRequests(box, wanted, 1, requests);

    op->open();
    if (op->hasError()) {
      result.error = op->errorMessage();
      return result;
    }

    bool packed = true;
    if (auto* planar = dynamic_cast<PlanarIop*>(iop))
      packed = planar->packedPreference() != PlanarIop::ePackedPreferenceUnpacked;
    ImagePlane plane(box, packed, wanted, int(wanted.size()));
    iop->fetchPlane(plane);
    if (op->hasError()) {
      result.error = op->errorMessage();
      return result;
    }
    if (!plane.memory().isAllocated()) {
      result.error = node.abortRequested() ? "render aborted" : "the node rendered nothing";
      for (int i = 0; i < op->inputs(); ++i)
        if (Op* in = op->input(i); in && in->hasError())
          result.error = in->errorMessage();
      return result;
    }
    result.plane = plane;
    result.ok = true;
  } catch (const std::exception& e) {
    // Nothing a node throws may take the host down.
    result.error = std::string("uncaught exception in ") + node.name() + ": " + e.what();
  } catch (...) {
    result.error = "uncaught exception of unknown type in " + node.name();
  }
  return result;
}

} // namespace HostLayer
