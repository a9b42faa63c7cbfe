#include "device/PanelReport.h"

#include "DDImage/Knob.h"

#include <algorithm>
#include <sstream>

using namespace DD::Image;

namespace devicecheck {

namespace {

constexpr const char* kNoGpu = "Not available";  // followed by the reason

std::string textOf(const HostLayer::HostNode& node, const char* name)
{
  const Knob* k = node.knob(name);
  return k ? k->text() : std::string();
}

bool isText(const Knob* k) { return k->kind() == KnobKind::Text || k->kind() == KnobKind::NamedText; }

// Texts of the knobs after the "About" tab, blank ones left out.
std::vector<std::string> aboutTexts(const HostLayer::HostNode& node)
{
  const std::vector<Knob*>& knobs = node.knobs();
  auto tab = std::find_if(knobs.begin(), knobs.end(),
                          [](const Knob* k) { return k->kind() == KnobKind::Tab && k->label() == "About"; });
  std::vector<std::string> texts;
  for (auto it = tab; it != knobs.end(); ++it)
    if (isText(*it) && (*it)->text().find_first_not_of(' ') != std::string::npos)
      texts.push_back((*it)->text());
  return texts;
}

void printLine(std::ostream& out, const std::string& label, const std::string& text)
{
  std::istringstream lines(text);
  std::string line;
  bool first = true;
  while (std::getline(lines, line)) {
    out << "  " << (first ? label + ": " : std::string(label.size() + 2, ' ')) << line << "\n";
    first = false;
  }
  if (first)
    out << "  " << label << ": (none)\n";
}

} // namespace

PanelFacts readPanel(HostLayer::HostNode& node)
{
  node.showPanel();
  PanelFacts panel;
  panel.gpuName = textOf(node, "gpuName");
  panel.gpuMemory = textOf(node, "gpuMemory");
  panel.kernelInfo = textOf(node, "kernelInfo");
  const Knob* useGpu = node.knob("use_gpu");
  panel.useGpu = useGpu && useGpu->get_value() != 0.0;
  panel.about = aboutTexts(node);
  return panel;
}

void printPanel(const PanelFacts& panel, std::ostream& out)
{
  printLine(out, "gpuName", panel.gpuName);
  printLine(out, "gpuMemory", panel.gpuMemory);
  printLine(out, "use_gpu", panel.useGpu ? "on" : "off");
  printLine(out, "kernelInfo", panel.kernelInfo);
  for (size_t i = 0; i < panel.about.size(); ++i)
    printLine(out, "About " + std::to_string(i + 1), panel.about[i]);
}

bool panelMatchesDevice(const PanelFacts& panel, bool gpuPresent, std::string& why)
{
  std::vector<std::string> wrong;
  if (gpuPresent) {
    if (panel.gpuName.empty() || panel.gpuName.rfind(kNoGpu, 0) == 0)
      wrong.push_back("no GPU name");
    if (panel.gpuMemory.empty())
      wrong.push_back("no GPU memory line");
    if (panel.kernelInfo.empty())
      wrong.push_back("no kernel note");
    if (!panel.useGpu)
      wrong.push_back("use_gpu off");
  } else {
    if (panel.gpuName.rfind(kNoGpu, 0) != 0)
      wrong.push_back("GPU name \"" + panel.gpuName + "\" without a GPU");
    if (panel.useGpu)
      wrong.push_back("use_gpu on without a GPU");
  }
  why.clear();
  for (const std::string& w : wrong)
    why += (why.empty() ? "" : ", ") + w;
  return wrong.empty();
}

} // namespace devicecheck
