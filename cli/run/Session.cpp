#include "cli/run/Session.h"

#include "DDImage/Iop.h"
#include "HostLayer/ColorSpaces.h"
#include "HostLayer/Plugin.h"
#include "HostLayer/Read.h"
#include "HostLayer/Render.h"
#include "cli/options/FrameList.h"
#include "cli/options/KnobValue.h"
#include "cli/run/SkipExisting.h"
#include "node/RetimeMapping.h"
#include "runtime/CudaEnvironment.h"
#include "runtime/SimulatedCudaEnvironment.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>

using namespace DD::Image;

namespace cli {

namespace {

std::string executableDir()
{
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error || !self.has_parent_path() ? "." : self.parent_path().string();
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

// --gpu names a device of this machine: one that is not there is refused
// rather than replaced by the last one. Where no GPU is usable the render
// runs on the CPU, as the node's device rule says, and one line tells so.
void checkGpuIndex(int index, const tweenova::CudaEnvironment& cuda)
{
  const std::string what = "--gpu " + std::to_string(index);
  if (!cuda.isAvailable()) {
    std::cerr << "tweenova-render: warning: " << what << ": no GPU is usable (" << cuda.unavailableReason()
              << "); the render runs on the CPU" << std::endl;
    return;
  }
  const int count = cuda.deviceCount();
  if (index >= count)
    throw UsageError{what, "there is no CUDA device " + std::to_string(index) + " (this machine has " +
                             std::to_string(count) + ": 0 to " + std::to_string(count - 1) + ")"};
}

template <class Fn>
Fn pluginEntry(void* plugin, const char* name)
{
  return plugin ? reinterpret_cast<Fn>(dlsym(plugin, name)) : nullptr;
}

// The plug-in to load: the one named, else the shipped one beside this
// program (a build folder) or in the installed plug-in folder, or, for the
// developer options, its developer build (which also offers a simulated GPU
// and another model library).
std::string pluginPathFor(const Options& options)
{
  if (!options.plugin.empty())
    return options.plugin;
  const bool developer = options.simulateGpu || !options.modelLibrary.empty();
  const std::string name = developer ? "/TweenovaDeveloper.so" : "/Tweenova.so";
  const std::string beside = executableDir() + name;
  const std::string installed = executableDir() + "/../lib/tweenova" + name;
  return access(beside.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0 ? installed : beside;
}

// A knob's value at `frame` as the node stores it into an int member.
int storedInt(const Knob* k, double frame) { return k ? int(std::llround(k->get_value_at(frame))) : 0; }

// What the node's frame mapping reads, for an operator validated at `frame`:
// the knobs at that frame as the node stores them, and its output range.
RetimeSettings retimeSettings(const HostLayer::HostNode& node, const Iop& op, double frame)
{
  RetimeSettings s;
  s.mode = storedInt(node.knob("mode"), frame);
  s.speed = node.knob("speed") ? float(node.knob("speed")->get_value_at(frame)) : s.speed;
  s.outputFrame = node.knob("output_frame") ? float(node.knob("output_frame")->get_value_at(frame)) : s.outputFrame;
  s.frameRangeStart = storedInt(node.knob("frame_range_start"), frame);
  s.outputFirstFrame = op.info().first_frame();
  s.outputLastFrame = op.info().last_frame();
  return s;
}

} // namespace

Session::Session(const Options& options) : options_(options)
{
  const std::string pluginPath = pluginPathFor(options_);
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
  if (options_.gpu) {
    if (options_.simulateGpu)
      checkGpuIndex(*options_.gpu, tweenova::SimulatedCudaEnvironment::standard());
    else
      checkGpuIndex(*options_.gpu, tweenova::cudaEnvironment());
    setenv("QUOLMARINE_NUKE_GPU_INDEX", std::to_string(*options_.gpu).c_str(), 1);
  }

  try {
    HostLayer::colorConfig();
  } catch (const std::exception& e) {
    throw UsageError{"colour", e.what()};
  }
  try {
    reader_ = HostLayer::createReadNode(options_.input, "Read1", options_.inputColorSpace);
  } catch (const std::exception& e) {
    throw UsageError{"input " + options_.input, e.what()};
  }
  try {
    node_ = HostLayer::HostNode::create("Tweenova", "Tweenova1");
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
  HostLayer::FrameInfoSummary info;
  std::string error;
  bool inputFailed = false;
  const double start = node_->knob("frame_range_start") ? node_->knob("frame_range_start")->get_value() : 1.0;
  const double frame = start == -999999 ? 1.0 : start;
  if (!HostLayer::validateNode(*node_, frame, info, error, &inputFailed) && !inputFailed)
    throw UsageError{"validation of " + options_.input, error};
  if (info.last < info.first)
    throw UsageError{"output range " + std::to_string(info.first) + "-" + std::to_string(info.last),
                     "the node's output range is empty (is frame_range_start after frame_range_end?)"};
  // A first frame whose source cannot be read fails alone when rendered; the
  // channels come from the first output frame whose sources read.
  outputChannels_ = info.channels;
  outputFormat_ = info.format;
  for (int f = info.first + 1; inputFailed && f <= info.last; ++f) {
    HostLayer::FrameInfoSummary other;
    std::string otherError;
    if (HostLayer::validateNode(*node_, f, other, otherError, &inputFailed)) {
      outputChannels_ = other.channels;
      outputFormat_ = other.format;
    }
    else if (!inputFailed)
      throw UsageError{"validation of " + options_.input, otherError};
  }
  if (inputFailed)
    throw UsageError{"validation of " + options_.input, "no output frame's source frames can be read: " + error};
  return FrameRange{info.first, info.last};
}

std::vector<int> Session::framesToRender()
{
  const FrameRange range = outputRange();
  if (!options_.frames)
    return framesOf(range);
  const std::vector<int>& frames = *options_.frames;
  const long long outside = std::count_if(frames.begin(), frames.end(),
                                          [&](int f) { return f < range.first || f > range.last; });
  if (outside > 0)
    std::cerr << "tweenova-render: warning: " << outside << " of the " << frames.size()
              << " frames asked for lie outside the output range " << range.first << "-" << range.last
              << " (they show the held first or last frame)" << std::endl;
  return frames;
}

int Session::listFrames(std::ostream& out)
{
  const std::vector<int> frames = framesToRender();
  std::vector<int> unreadable;
  std::string firstReason;
  out << "# frame frame0 frame1 position timestep\n";
  for (const long long f : frames) {
    Op* op = node_->acquire(OutputContext(double(f)));
    std::string error;
    bool inputFailed = false;
    const Iop* iop = dynamic_cast<const Iop*>(op);
    const bool valid = iop && HostLayer::validateOperator(*node_, op, error, &inputFailed);
    const bool mapped = valid || inputFailed;
    const FrameInfo fi = mapped ? mapOutputFrame(retimeSettings(*node_, *iop, double(f)), float(f)) : FrameInfo{};
    node_->release(op);
    if (!mapped)
      throw UsageError{"frame " + std::to_string(f), error.empty() ? "the node did not validate" : error};
    if (inputFailed) {
      unreadable.push_back(int(f));
      if (firstReason.empty())
        firstReason = error;
    }
    char line[128];
    std::snprintf(line, sizeof line, "%lld %d %d %.9g %.9g\n", f, fi.frame0, fi.frame1,
                  double(fi.requestedFramePosition), double(fi.timestep));
    out << line;
  }
  // Rendered, these frames fail alone; the listing shows where they lie.
  if (!unreadable.empty())
    std::cerr << "tweenova-render: warning: " << unreadable.size() << " of the " << frames.size()
              << " output frames need source frames that cannot be read: " << formatFrameList(unreadable)
              << " (first: " << firstReason << ")" << std::endl;
  return kExitSuccess;
}

int Session::verifyOutputs(std::ostream& out)
{
  HostLayer::SequencePattern pattern;
  std::string why;
  if (!HostLayer::parseSequencePattern(options_.output, pattern, why))
    throw UsageError{"output " + options_.output, why};
  const std::vector<int> frames = framesToRender();
  const std::vector<int> missing = framesStillToRender(frames, pattern);
  for (const int f : missing)
    out << "missing " << f << " " << HostLayer::frameFileName(pattern, f) << "\n";
  out << std::flush;
  if (missing.empty()) {
    std::cerr << "tweenova-render: all " << frames.size() << " output frames exist and read" << std::endl;
    return kExitSuccess;
  }
  std::cerr << "tweenova-render: " << missing.size() << " of " << frames.size()
            << " output frames missing or unreadable: " << formatFrameList(missing) << std::endl;
  return kExitFramesFailed;
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
