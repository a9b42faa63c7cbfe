#pragma once

// The headers of a sequence's files, read once: a render validates a frame
// from several operators and threads, and each asks for its file's header.
#include "HostLayer/ImageFile.h"

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace HostLayer {

class HeaderCache {
public:
  // The header of `path` (image `subimage`), read through readImageHeader
  // unless it was read before and the file is still the one read then (same
  // inode, size and modification time). Throws as readImageHeader does.
  ImageHeader header(const std::string& path, int subimage);

private:
  struct Entry {
    struct stat identity;
    ImageHeader header;
  };
  // A few frames around those being rendered are asked for again; older ones are dropped.
  static constexpr size_t kMostEntries = 32;

  std::mutex mutex_;
  std::map<std::pair<std::string, int>, Entry> entries_;
};

} // namespace HostLayer
