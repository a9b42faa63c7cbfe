#include "device/CpuChecks.h"

#include "device/RetimeNode.h"
#include "device/Timing.h"

#include <stdexcept>

namespace devicecheck {

namespace {

// Tiles of at most 128 pixels, 48 of them overlapping, 16 of padding: even the smallest frame is split.
const RenderSettings kSmallTiles{false, Precision::Float32, 128, 48, 16};

std::optional<Image> renderAndJudge(const FrameSet& set, bool standIn, SummaryTable& table)
{
  const std::string name = "CPU render vs true middle: " + set.name + " " + sizeText(set.first);
  std::optional<Image> out;
  runCheck(table, name, [&] {
    RetimeNode node(set.name + "-cpu", shared(set.first), shared(set.second));
    node.apply(RenderSettings{});
    Image image;
    const double ms = millisecondsOf([&] { image = node.render(); });
    if (!allFinite(image))
      throw std::runtime_error("the render holds values that are not finite");
    out = std::move(image);
    if (!set.middle) {
      table.add(name, "no true middle frame; rendered in " + duration(ms), Verdict::Info);
      return;
    }
    const double network = psnr(*set.middle, *out);
    const double average = psnr(*set.middle, averaged(set.first, set.second));
    const std::string result =
      "network " + decibels(network) + ", frame average " + decibels(average) + ", " + duration(ms);
    if (standIn)
      table.add(name, result + " (stand-in network)", Verdict::Info);
    else
      table.judge(name, result, network > average);
  });
  return out;
}

void tiledRender(const FrameSet& set, const std::optional<Image>& untiled, SummaryTable& table)
{
  const std::string name = "CPU tiled render (max_size " + std::to_string(kSmallTiles.maxSize) + "): " + set.name;
  runCheck(table, name, [&] {
    if (!untiled)
      throw std::runtime_error("no untiled CPU render to compare with");
    RetimeNode node(set.name + "-cpu-tiled", shared(set.first), shared(set.second));
    node.apply(kSmallTiles);
    Image out;
    const double ms = millisecondsOf([&] { out = node.render(); });
    const int passes = node.announcedPasses(), panel = node.panelPatchCount();
    table.judge(name,
                std::to_string(passes) + " patches (panel " + std::to_string(panel) + "), " +
                  decibels(psnr(*untiled, out)) + " vs untiled, " + duration(ms),
                passes == panel && passes > 1 && allFinite(out));
  });
}

} // namespace

CpuRenders runCpuChecks(const std::vector<FrameSet>& sets, bool standIn, SummaryTable& table)
{
  CpuRenders renders;
  for (const FrameSet& set : sets)
    renders.push_back(renderAndJudge(set, standIn, table));
  const FrameSet& smallest = smallestSet(sets);
  tiledRender(smallest, renders[size_t(&smallest - sets.data())], table);
  return renders;
}

} // namespace devicecheck
