// Fuzz target: everything tweenova-render parses from its command line.
// The first byte chooses the parser, the rest is the text.
#include "DDImage/ChannelSet.h"
#include "DDImage/Knob.h"
#include "HostLayer/Read.h"
#include "cli/options/FrameList.h"
#include "cli/options/KnobValue.h"
#include "cli/options/Options.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using namespace DD::Image;

namespace {

void check(bool condition)
{
  if (!condition)
    std::abort();
}

Knob& knobOfKind(uint8_t selector)
{
  static Knob intKnob(KnobKind::Int, "max_size", "max size");
  static Knob floatKnob(KnobKind::Float, "speed", "speed");
  static Knob boolKnob(KnobKind::Bool, "use_gpu", "use GPU");
  static Knob enumKnob(KnobKind::Enumeration, "mode", "timing");
  static const bool itemsSet = [] {
    enumKnob.items({"Output Speed", "Frame"});
    return true;
  }();
  (void)itemsSet;
  switch (selector % 4) {
  case 0: return intKnob;
  case 1: return floatKnob;
  case 2: return boolKnob;
  default: return enumKnob;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  if (size < 1)
    return 0;
  const uint8_t selector = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    switch (selector % 6) {
    case 0: {
      const std::vector<int> frames = cli::parseFrameList(text);
      check(!frames.empty() && (long long)frames.size() <= cli::kMaxFrames &&
            std::adjacent_find(frames.begin(), frames.end(), std::greater_equal<int>()) == frames.end());
      break;
    }
    case 1: {
      cli::KnobAssignment a = cli::parseKnobAssignment(text);
      check(!a.knob.empty() && text.size() == a.knob.size() + 1 + a.value.size());
      break;
    }
    case 2: {
      cli::KeyAssignment k = cli::parseKeyAssignment(text);
      check(!k.knob.empty());
      break;
    }
    case 3: {
      HostLayer::SequencePattern p;
      std::string why;
      if (HostLayer::parseSequencePattern(text, p, why)) {
        const std::string name = HostLayer::frameFileName(p, int(selector) - 128);
        check(name.size() >= p.prefix.size() + p.suffix.size());
      } else {
        check(!why.empty());
      }
      break;
    }
    case 4: {
      ChannelSet cs;
      if (parseChannelSet(text, cs))
        for (Channel c : cs)
          check(c > Chan_Black && c <= Chan_Last);
      break;
    }
    default: {
      const double v = cli::parseKnobNumber(knobOfKind(selector / 6), text);
      check(v == v);
      break;
    }
    }
  } catch (const cli::UsageError& e) {
    check(!e.why.empty());
  }
  return 0;
}
