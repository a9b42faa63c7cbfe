// The declared panel: order, kinds, labels, defaults, flags, tooltips.
#include "support/RetimeRig.h"
#include "support/ScopedCuda.h"

#include <gtest/gtest.h>

using namespace DD::Image;
using testsupport::RetimeRig;

namespace {

struct Row {
  const char* name;  // "" for unnamed knobs
  KnobKind kind;
  const char* label;
  const char* value;
};

std::string rowName(const Knob* k) { return k->name(); }

} // namespace

TEST(Panel, DeclaresEveryKnobInOrderWithItsDefault)
{
  testsupport::ScopedCuda noGpu(tweenova::SimulatedCudaEnvironment{});
  RetimeRig rig;
  const Row expected[] = {
    {"", KnobKind::Tab, "Tweenova", ""},
    {"", KnobKind::Text, "Local GPU: ", ""},
    {"gpuName", KnobKind::NamedText, "", "Not available: no NVIDIA driver"},
    {"", KnobKind::Text, " ", ""},
    {"GPU settings", KnobKind::BeginGroup, "GPU settings", ""},
    {"cuda_deviceid", KnobKind::Int, "CUDA device ID", "0"},
    {"use_gpu", KnobKind::Bool, "Use GPU if available", "false"},
    {"gpu_render_override", KnobKind::Bool, "Use --gpu device override", "true"},
    {"", KnobKind::EndGroup, "", ""},
    {"", KnobKind::Divider, "", ""},
    {"frame_range_start", KnobKind::Int, "input range", "-999999"},
    {"frame_range_end", KnobKind::Int, "", "-999999"},
    {"reset_input_range", KnobKind::PyScript, " reset ", nullptr},
    {"input_channels", KnobKind::ChannelMask, "channels", "all"},
    {"mode", KnobKind::Enumeration, "timing", "Output Speed"},
    {"speed", KnobKind::Float, "speed", "0.5"},
    {"output_frame", KnobKind::Float, "frame", "1"},
    {"", KnobKind::Divider, "", ""},
    {"steps", KnobKind::Int, "steps", "2"},
    {"flow_magnitude", KnobKind::Enumeration, "flow magnitude", "low"},
    {"threshold", KnobKind::Float, "threshold", "0.001"},
    {"downscale", KnobKind::Enumeration, "warp downscale", "1.0"},
    {"colorspace_convert", KnobKind::Bool, "colorspace conversion", "true"},
    {"mixed_precision", KnobKind::Bool, "mixed precision", "false"},
    {"use_bfloat16", KnobKind::Bool, "use BFloat16", "true"},
    {"debug", KnobKind::Bool, "debug info", "false"},
    {"nan_error_threshold", KnobKind::Int, "nan error threshold", "10"},
    {"", KnobKind::Divider, "", ""},
    {"tiling_group", KnobKind::BeginGroup, "Tiling", ""},
    {"image_patches", KnobKind::NamedText, "", "Image patches: -"},
    {"max_size", KnobKind::Int, "max size", "4500"},
    {"", KnobKind::Text, "", "px"},
    {"overlap", KnobKind::Int, "overlap", "512"},
    {"", KnobKind::Text, "", "px"},
    {"padding", KnobKind::Int, "padding", "64"},
    {"", KnobKind::Text, "", "px"},
    {"", KnobKind::EndGroup, "", ""},
    {"", KnobKind::Tab, "About", ""},
    {"", KnobKind::Divider, "", ""},
    {"", KnobKind::Text, "", nullptr},
    {"", KnobKind::Text, "", nullptr},
    {"", KnobKind::Text, "", " "},
    {"", KnobKind::Text, "", nullptr},
    {"", KnobKind::Divider, "", ""},
    {"", KnobKind::Text, "", "Tweenova v1.0.0"},
  };
  const auto& knobs = rig.node->knobs();
  ASSERT_EQ(knobs.size(), std::size(expected));
  for (size_t i = 0; i < knobs.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i) + " " + rowName(knobs[i]));
    EXPECT_EQ(knobs[i]->name(), expected[i].name);
    EXPECT_EQ(knobs[i]->kind(), expected[i].kind);
    EXPECT_EQ(knobs[i]->label(), expected[i].label);
    if (expected[i].value) {
      EXPECT_EQ(knobs[i]->valueText(), expected[i].value);
    }
  }
}

TEST(Panel, FlagsHiddenKnobsAndLines)
{
  RetimeRig rig;
  for (const char* hidden : {"threshold", "downscale", "colorspace_convert", "mixed_precision", "use_bfloat16",
                             "debug", "nan_error_threshold"})
    EXPECT_TRUE(rig.knob(hidden)->flag(Knob::HIDDEN)) << hidden;
  for (const char* shown : {"speed", "steps", "max_size", "mode", "input_channels"})
    EXPECT_FALSE(rig.knob(shown)->flag(Knob::HIDDEN)) << shown;
  EXPECT_TRUE(rig.knob("mode")->flag(Knob::ALWAYS_SAVE));
  EXPECT_TRUE(rig.knob("mode")->flag(Knob::EARLY_STORE));
  EXPECT_TRUE(rig.knob("frame_range_start")->flag(Knob::EARLY_STORE));
  // use_bfloat16 continues the line of mixed_precision.
  EXPECT_FALSE(rig.knob("use_bfloat16")->flag(Knob::STARTLINE));
  EXPECT_TRUE(rig.knob("mixed_precision")->flag(Knob::STARTLINE));
  // Without CUDA the GPU knobs are disabled and use_gpu starts off.
  for (const char* gpu : {"cuda_deviceid", "use_gpu", "gpu_render_override"})
    EXPECT_FALSE(rig.knob(gpu)->isEnabled()) << gpu;
  EXPECT_FALSE(rig.panelOp().use_gpu);
  EXPECT_EQ(rig.knob("mode")->items(), (std::vector<std::string>{"Output Speed", "Frame"}));
  EXPECT_EQ(rig.knob("nan_error_threshold")->tooltip().find("Corrupt-output guard. If more than this percentage"),
            0u);
  EXPECT_NE(rig.knob("nan_error_threshold")->tooltip().find("\"Too many nan values returned, frame corrupt\""),
            std::string::npos);
  EXPECT_EQ(rig.knob("speed")->tooltip(), "Controls the speed of the retime based on the output range.\nValues below "
                                          "1 slow down the clip. Values above 1 speed up movement.");
  EXPECT_NE(rig.knob("reset_input_range")->text().find("\tnode = nuke.thisNode()\n"), std::string::npos);
}

TEST(Panel, NodeIdentityAndConstantAnswers)
{
  RetimeRig rig;
  Tweenova& op = rig.panelOp();
  EXPECT_STREQ(op.Class(), "Tweenova");
  EXPECT_EQ(std::string(op.node_help()).rfind("Tweenova provides machine learning based frame interpolation", 0), 0u);
  EXPECT_EQ(op.minimum_inputs(), 1);
  EXPECT_EQ(op.maximum_inputs(), 1);
  EXPECT_FALSE(op.useStripes());
  EXPECT_EQ(op.stripeHeight(), 256u);
  EXPECT_EQ(op.packedPreference(), PlanarIop::ePackedPreferencePacked);
  EXPECT_STREQ(Tweenova::d.compiled + std::strlen(Tweenova::d.compiled) - 9, " for 16.1");
  EXPECT_EQ(op.modelChannels, 3);
  EXPECT_FALSE(op.modelLoaded);
}

TEST(Panel, CloseEmptiesTheCudaCache)
{
  testsupport::ScopedCuda cuda;
  RetimeRig rig;
  Tweenova& op = rig.acquire(1);
  const int before = cuda.env().emptyCacheCalls;
  op.close();
  EXPECT_EQ(cuda.env().emptyCacheCalls, before + 1);
  rig.release(op);
}
