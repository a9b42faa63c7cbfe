#pragma once

#include "HostLayer/HostNode.h"

#include <ostream>
#include <string>
#include <vector>

namespace devicecheck {

// What a Tweenova node's panel shows about the machine's device.
struct PanelFacts {
  std::string gpuName;     // "Not available" without a usable GPU
  std::string gpuMemory;   // empty when the panel has no such line
  std::string kernelInfo;  // empty when the panel has no such line
  bool useGpu = false;
  std::vector<std::string> about;  // the About tab's texts, in order
};

// Opens the node's panel and reads it.
PanelFacts readPanel(HostLayer::HostNode& node);

// One "label: text" line each, texts of several lines indented.
void printPanel(const PanelFacts& panel, std::ostream& out);

// Whether the panel agrees with the machine: with a GPU, its name, memory
// and kernel note shown and use_gpu on; without one, "Not available" and
// use_gpu off. `why` says what disagrees.
bool panelMatchesDevice(const PanelFacts& panel, bool gpuPresent, std::string& why);

} // namespace devicecheck
