#include "cli/run/OutputGuard.h"

#include "HostLayer/Read.h"
#include "cli/output/FileReplacement.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <map>
#include <optional>
#include <utility>

namespace cli {

namespace {

using FileId = std::pair<dev_t, ino_t>;

std::optional<FileId> fileId(const std::string& path)
{
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

std::optional<HostLayer::SequencePattern> sequence(const std::string& text)
{
  HostLayer::SequencePattern pattern;
  std::string why;
  if (!HostLayer::parseSequencePattern(text, pattern, why) || pattern.movie)
    return std::nullopt;
  return pattern;
}

// Every existing input file, by identity.
std::map<FileId, std::string> inputFiles(const std::string& input)
{
  std::map<FileId, std::string> files;
  auto add = [&files](const std::string& path) {
    if (std::optional<FileId> id = fileId(path))
      files.emplace(*id, path);
  };
  const std::optional<HostLayer::SequencePattern> pattern = sequence(input);
  if (!pattern) {
    add(input);
    return files;
  }
  for (int frame : HostLayer::findFrames(*pattern))
    add(HostLayer::frameFileName(*pattern, frame));
  return files;
}

// Both patterns name frames of one sequence: the same folder (by identity)
// and the same name around the frame number, whatever the padding.
bool sameSequence(const HostLayer::SequencePattern& a, const HostLayer::SequencePattern& b)
{
  if (HostLayer::sequenceStem(a) != HostLayer::sequenceStem(b) || a.suffix != b.suffix)
    return false;
  const std::optional<FileId> folder = fileId(HostLayer::sequenceFolder(a));
  return folder && folder == fileId(HostLayer::sequenceFolder(b));
}

// The files a render writes: the `frames` of a sequence, or one movie.
std::vector<std::string> outputFiles(const std::string& output, const std::vector<int>& frames)
{
  const std::optional<HostLayer::SequencePattern> out = sequence(output);
  if (!out)
    return {output};
  std::vector<std::string> files;
  for (int f : frames)
    files.push_back(HostLayer::frameFileName(*out, f));
  return files;
}

std::string normalised(const std::string& path)
{
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
  return ec ? std::filesystem::absolute(path).lexically_normal().string() : p.string();
}

} // namespace

void refuseOutputOntoInput(const std::string& input, const std::string& output, const std::vector<int>& frames)
{
  const std::optional<HostLayer::SequencePattern> out = sequence(output);
  const std::optional<HostLayer::SequencePattern> in = sequence(input);
  if (in && out && sameSequence(*in, *out))
    throw UsageError{"output " + output, "it names frames of the input sequence " + input +
                                           "; the render would overwrite its own source or add frames to it"};
  const std::map<FileId, std::string> inputs = inputFiles(input);
  for (const std::string& path : outputFiles(output, frames)) {
    const std::optional<FileId> id = fileId(path);
    auto it = id ? inputs.find(*id) : inputs.end();
    if (it != inputs.end())
      throw UsageError{"output " + path, "it is the input file " + it->second + "; the render would overwrite its own source"};
  }
}

void refuseOverlongOutput(const std::string& output, const std::vector<int>& frames)
{
  if (frames.empty())
    return;
  // The longest names are those of the lowest and the highest frame.
  const auto [low, high] = std::minmax_element(frames.begin(), frames.end());
  const std::vector<std::string> longest = outputFiles(output, {*low, *high});
  const std::string folder = folderOf(longest.front());
  const long most = pathconf(folder.c_str(), _PC_NAME_MAX);
  const size_t nameMax = most > 0 ? size_t(most) : 255;
  for (const std::string& path : longest) {
    const std::string temporary = temporaryNameFor(path);
    const size_t name = std::filesystem::path(temporary).filename().string().size();
    if (name > nameMax || temporary.size() >= PATH_MAX)
      throw UsageError{"output " + path, "the name is longer than the system allows: it is written under a temporary "
                                         "name of " + std::to_string(name) + " characters (at most " +
                                         std::to_string(nameMax) + " in " + folder + ", " +
                                         std::to_string(PATH_MAX - 1) + " in a path)"};
  }
}

void refuseSummaryTarget(const std::string& summary, const std::string& input, const std::string& output,
                         const std::vector<int>& frames)
{
  const std::string what = "--summary-json " + summary;
  struct stat st;
  if (stat(summary.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw UsageError{what, "it is not a regular file; the summary is written over a file or as a new one"};
  const std::optional<FileId> id = fileId(summary);
  const std::map<FileId, std::string> inputs = inputFiles(input);
  auto it = id ? inputs.find(*id) : inputs.end();
  if (it != inputs.end())
    throw UsageError{what, "it is the input file " + it->second + "; the summary would overwrite a source"};
  const std::string target = normalised(summary);
  const std::vector<std::string> files = outputFiles(output, frames);
  for (size_t i = 0; i < files.size(); ++i)
    if (normalised(files[i]) == target || (id && id == fileId(files[i])))
      throw UsageError{what, sequence(output) ? "it is output frame " + std::to_string(frames[i]) + " (" + files[i] +
                                                  ") of this render"
                                              : "it is the output " + files[i] + " of this render"};
}

} // namespace cli
