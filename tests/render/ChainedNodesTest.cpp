// A Tweenova fed by another Tweenova, through the host: the downstream node
// gets the upstream's image whatever layout each asks for, and an upstream
// that renders nothing fails the downstream render instead of passing on
// memory nobody wrote.
#include "HostLayer/Render.h"
#include "networks/TestNetworks.h"
#include "render/RenderTestSupport.h"

#include <gtest/gtest.h>

using namespace DD::Image;
using rendertest::sourceValue;

namespace {

// Source -> Tweenova1 -> Tweenova2, both nodes in frame mode on the CPU.
struct Chain {
  Chain()
  {
    source = testsupport::createMemorySource(script);
    upstream = makeNode("Tweenova1", source.get());
    downstream = makeNode("Tweenova2", upstream.get());
  }

  static std::unique_ptr<HostLayer::HostNode> makeNode(const std::string& name, HostLayer::HostNode* input)
  {
    auto node = HostLayer::HostNode::create("Tweenova", name);
    node->setInput(0, input);
    node->setValue(node->knob("mode"), 1);
    node->setValue(node->knob("use_gpu"), 0);
    node->setValue(node->knob("colorspace_convert"), 0);
    return node;
  }

  HostLayer::RenderResult render()
  {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    HostLayer::RenderResult r = HostLayer::renderFrame(*downstream, 1, Mask_RGBA);
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    return r;
  }

  std::shared_ptr<testsupport::SourceScript> script = rendertest::sourceScript();
  std::unique_ptr<HostLayer::HostNode> source, upstream, downstream;
};

void expectSourceFrame(const HostLayer::RenderResult& r, double frame)
{
  ASSERT_TRUE(r.ok) << r.error;
  const Box& b = r.plane.bounds();
  for (Channel z : Mask_RGBA)
    for (int y = b.y(); y < b.t(); ++y)
      for (int x = b.x(); x < b.r(); ++x)
        ASSERT_NEAR(r.plane.at(x, y, z), sourceValue(z, x, y, frame), 1e-4) << getName(z) << " at " << x << "," << y;
}

} // namespace

TEST(ChainedNodes, ATweenovaFedByATweenovaRendersTheUpstreamImage)
{
  testnetworks::ServeNetwork serve("blend");
  Chain chain;
  // The upstream node shows source frame 3 at every frame.
  chain.upstream->setValue(chain.upstream->knob("output_frame"), 3);

  // Downstream copy: its frame 2 is the upstream's frame 2.
  chain.downstream->setValue(chain.downstream->knob("output_frame"), 2);
  expectSourceFrame(chain.render(), 3);

  // Downstream interpolation between the upstream's frames 1 and 2 (both source frame 3).
  chain.downstream->setValue(chain.downstream->knob("output_frame"), 1.5);
  expectSourceFrame(chain.render(), 3);
}

TEST(ChainedNodes, AnUpstreamThatRendersNothingFailsTheDownstreamRender)
{
  testnetworks::ServeNetwork serve("blend");
  for (double position : {2.0, 1.5}) {  // the copy, then the interpolation
    Chain chain;
    chain.upstream->setValue(chain.upstream->knob("output_frame"), 3);
    chain.script->fetch = testsupport::SourceScript::Fetch::ThrowStd;
    chain.downstream->setValue(chain.downstream->knob("output_frame"), position);
    const HostLayer::RenderResult r = chain.render();
    EXPECT_FALSE(r.ok) << position;
    EXPECT_EQ(r.error, "Input 'Tweenova1' rendered no image: source unreadable") << position;
  }
}
