#include "cli/Session.h"

#include "DDImage/Iop.h"
#include "HostLayer/Plugin.h"
#include "HostLayer/Read.h"
#include "HostLayer/Render.h"
#include "cli/KnobValue.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>

using namespace DD::Image;

namespace cli {

namespace {

std::string executableDir()
{
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0)
    return ".";
  std::string path(buf, size_t(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Texts are printed on one line: line breaks and tabs are escaped.
std::string oneLine(const std::string& s)
{
  std::string out;
  for (char c : s) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else
      out += c;
  }
  return out;
}

template <class Fn>
Fn pluginEntry(void* plugin, const char* name)
{
  return plugin ? reinterpret_cast<Fn>(dlsym(plugin, name)) : nullptr;
}

} // namespace

Session::Session(const Options& options) : options_(options)
{
  const std::string pluginPath = options_.plugin.empty() ? executableDir() + "/Tweenova.so" : options_.plugin;
  try {
    plugin_ = HostLayer::loadPlugin(pluginPath);
  } catch (const std::exception& e) {
    throw UsageError{"plug-in " + pluginPath, e.what()};
  }
  if (!options_.modelLibrary.empty()) {
    auto set = pluginEntry<void (*)(const char*)>(plugin_, "TweenovaSetModelLibrary");
    if (!set)
      throw UsageError{"--model-library", "the plug-in offers no model library override"};
    set(options_.modelLibrary.c_str());
  }
  if (options_.simulateGpu) {
    auto simulate = pluginEntry<void (*)()>(plugin_, "TweenovaSimulateCuda");
    if (!simulate)
      throw UsageError{"--simulate-gpu", "the plug-in offers no simulated GPU"};
    simulate();
  }
  if (options_.gpu)
    setenv("QUOLMARINE_NUKE_GPU_INDEX", std::to_string(*options_.gpu).c_str(), 1);

  try {
    reader_ = HostLayer::createReadNode(options_.input, "Read1");
  } catch (const std::exception& e) {
    throw UsageError{"input " + options_.input, e.what()};
  }
  try {
    node_ = Node::create("Tweenova", "Tweenova1");
  } catch (const std::exception& e) {
    throw UsageError{"plug-in " + pluginPath, e.what()};
  }
  node_->setInput(0, reader_.get());
  applyOptions();
}

Session::~Session()
{
  node_.reset();
  reader_.reset();
}

void Session::applyOptions()
{
  auto find = [this](const std::string& name) {
    Knob* k = node_->knob(name);
    if (!k)
      throw UsageError{"knob " + name, "the node has no knob of that name"};
    return k;
  };
  for (const KnobAssignment& a : options_.sets) {
    Knob* k = find(a.knob);
    if (k->kind() == KnobKind::ChannelMask) {
      ChannelSet cs;
      if (!parseChannelSet(a.value, cs))
        throw UsageError{"knob " + a.knob + "=" + a.value, "not a channel set (rgb, rgba, alpha, all, layer names)"};
      node_->setChannels(k, cs);
    } else {
      node_->setValue(k, parseKnobNumber(*k, a.value));
    }
  }
  for (const KeyAssignment& key : options_.keys) {
    Knob* k = find(key.knob);
    if (k->kind() != KnobKind::Int && k->kind() != KnobKind::Float && k->kind() != KnobKind::Bool &&
        k->kind() != KnobKind::Enumeration)
      throw UsageError{"--key " + key.knob, "this knob cannot be animated"};
    node_->setKey(k, key.frame, parseKnobNumber(*k, key.value));
  }
  if (options_.cpu)
    node_->setValue(find("use_gpu"), 0.0);
  if (options_.verbose)
    node_->setValue(find("debug"), 1.0);
}

FrameRange Session::outputRange()
{
  if (options_.frames)
    return *options_.frames;
  HostLayer::FrameInfoSummary info;
  std::string error;
  const double frame = node_->knob("frame_range_start") ? node_->knob("frame_range_start")->get_value() : 1.0;
  if (!HostLayer::validateNode(*node_, frame == -999999 ? 1.0 : frame, info, error))
    throw UsageError{"validation of " + options_.input, error};
  if (info.last < info.first)
    throw UsageError{"output range " + std::to_string(info.first) + "-" + std::to_string(info.last),
                     "the node's output range is empty (is frame_range_start after frame_range_end?)"};
  return FrameRange{info.first, info.last};
}

int Session::listFrames(std::ostream& out)
{
  using Mapping = int (*)(Op*, double, int*, int*, float*, float*);
  auto mapping = pluginEntry<Mapping>(plugin_, "TweenovaFrameMapping");
  if (!mapping)
    throw UsageError{"--list", "the plug-in does not report its frame mapping"};
  const FrameRange range = outputRange();
  if (double(range.last) - double(range.first) > 10000000.0)
    throw UsageError{"--list", "the output range " + std::to_string(range.first) + "-" + std::to_string(range.last) +
                                 " is too long to list"};
  out << "# frame frame0 frame1 position timestep\n";
  for (long long f = range.first; f <= range.last; ++f) {
    Op* op = node_->acquire(OutputContext(double(f)));
    std::string error;
    int f0 = 0, f1 = 0;
    float position = 0, timestep = 0;
    const bool mapped =
      HostLayer::validateOperator(*node_, op, error) && mapping(op, double(f), &f0, &f1, &position, &timestep);
    node_->release(op);
    if (!mapped)
      throw UsageError{"frame " + std::to_string(f), error.empty() ? "the node did not validate" : error};
    char line[128];
    std::snprintf(line, sizeof line, "%lld %d %d %.9g %.9g\n", f, f0, f1, double(position), double(timestep));
    out << line;
  }
  return kExitSuccess;
}

int Session::printPanel(std::ostream& out)
{
  node_->showPanel();
  for (const Knob* k : node_->knobs()) {
    std::string flags;
    auto add = [&flags](const char* f) { flags += (flags.empty() ? "" : ",") + std::string(f); };
    if (k->flag(Knob::HIDDEN))
      add("hidden");
    if (k->flag(Knob::DISABLED))
      add("disabled");
    if (k->flag(Knob::INVISIBLE))
      add("invisible");
    out << (k->name().empty() ? "-" : k->name()) << '\t' << knobKindName(k->kind()) << '\t' << oneLine(k->label())
        << '\t' << oneLine(k->valueText()) << '\t' << (flags.empty() ? "-" : flags) << '\n';
  }
  return kExitSuccess;
}

} // namespace cli
