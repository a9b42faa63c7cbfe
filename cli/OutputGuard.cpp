#include "cli/OutputGuard.h"

#include "HostLayer/Read.h"

#include <sys/stat.h>

#include <map>
#include <utility>

namespace cli {

namespace {

using FileId = std::pair<dev_t, ino_t>;

// Every existing input file, by identity.
std::map<FileId, std::string> inputFiles(const std::string& input)
{
  std::map<FileId, std::string> files;
  auto add = [&files](const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
      files.emplace(FileId{st.st_dev, st.st_ino}, path);
  };
  HostLayer::SequencePattern pattern;
  std::string why;
  if (!HostLayer::parseSequencePattern(input, pattern, why)) {
    add(input);
    return files;
  }
  for (int frame : HostLayer::findFrames(pattern))
    add(HostLayer::frameFileName(pattern, frame));
  return files;
}

} // namespace

void refuseOutputOntoInput(const std::string& input, const std::string& output, const std::vector<int>& frames)
{
  HostLayer::SequencePattern out;
  std::string why;
  if (!HostLayer::parseSequencePattern(output, out, why))
    return;
  const std::map<FileId, std::string> inputs = inputFiles(input);
  for (int f : frames) {
    const std::string path = HostLayer::frameFileName(out, f);
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
      continue;
    auto it = inputs.find(FileId{st.st_dev, st.st_ino});
    if (it != inputs.end())
      throw UsageError{"output " + path, "it is the input file " + it->second + "; the render would overwrite its own source"};
  }
}

} // namespace cli
