#include "HeaderCache.h"

namespace HostLayer {

namespace {

bool sameFile(const struct stat& a, const struct stat& b)
{
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

} // namespace

ImageHeader HeaderCache::header(const std::string& path, int subimage)
{
  struct stat identity {};
  if (::stat(path.c_str(), &identity) != 0)
    return readImageHeader(path, subimage);  // its error names what is wrong
  const auto key = std::make_pair(path, subimage);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = entries_.find(key);
    if (it != entries_.end() && sameFile(it->second.identity, identity))
      return it->second.header;
  }
  ImageHeader h = readImageHeader(path, subimage);
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.size() >= kMostEntries && !entries_.count(key))
    entries_.clear();
  entries_[key] = Entry{identity, h};
  return h;
}

} // namespace HostLayer
