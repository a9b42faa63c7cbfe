#include "cli/run/SkipExisting.h"

#include "HostLayer/ImageFile.h"

#include <sys/stat.h>

#include <stdexcept>

namespace cli {

namespace {

bool readsWhole(const std::string& path)
{
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return false;
  try {
    HostLayer::readImageFile(path);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

} // namespace

std::vector<int> framesStillToRender(const std::vector<int>& frames, const HostLayer::SequencePattern& output)
{
  std::vector<int> left;
  for (int f : frames)
    if (!readsWhole(HostLayer::frameFileName(output, f)))
      left.push_back(f);
  return left;
}

} // namespace cli
