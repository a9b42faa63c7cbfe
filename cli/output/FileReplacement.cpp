#include "cli/output/FileReplacement.h"

#include "cli/output/PendingFiles.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace cli {

namespace {

// The host name, reduced to characters that are safe in a file name.
std::string hostTag()
{
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
    return "host";
  std::string tag;
  for (const char* c = name; *c && tag.size() < 64; ++c)
    tag += std::isalnum((unsigned char)*c) || *c == '-' ? *c : '_';
  return tag;
}

std::string randomTag()
{
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, 0) != ssize_t(sizeof bits))
    throw std::runtime_error(std::string("no random bytes for a temporary name: ") + std::strerror(errno));
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", (unsigned long long)bits);
  return hex;
}

// False with errno set when a write fails.
bool writeAll(int fd, const unsigned char* data, size_t size)
{
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    size -= size_t(n);
  }
  return true;
}

// Makes the rename itself durable.
void syncFolder(const std::string& folder)
{
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return;
  ::fsync(fd);
  ::close(fd);
}

// A new file that did not exist: never an existing file, never through a link.
int createTemporary(const std::string& path, std::string& name)
{
  for (int attempt = 0; attempt < 16; ++attempt) {
    name = temporaryNameFor(path);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  errno = EEXIST;
  return -1;
}

} // namespace

std::string folderOf(const std::string& path)
{
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  return folder.empty() ? "." : folder.string();
}

std::string temporaryNameFor(const std::string& path)
{
  const std::filesystem::path p(path);
  const std::string name = "." + p.filename().string() + "." + hostTag() + "." + randomTag() + ".tmp";
  return (p.parent_path() / name).string();
}

TemporaryFile::TemporaryFile(const std::string& path) : path_(path)
{
  fd_ = createTemporary(path, name_);
  if (fd_ < 0)
    throw std::runtime_error("cannot create a temporary file in " + folderOf(path) + ": " + std::strerror(errno));
  slot_ = PendingFiles::add(name_);
  pending_ = true;
}

TemporaryFile::~TemporaryFile() { discard(); }

void TemporaryFile::discard()
{
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (pending_) {
    ::unlink(name_.c_str());
    PendingFiles::release(slot_);
    pending_ = false;
  }
}

void TemporaryFile::commit()
{
  const char* failed = nullptr;  // the step that failed, errno saved in `error`
  int error = 0;
  auto check = [&](bool ok, const char* step) {
    if (!ok && !failed) {
      failed = step;
      error = errno;
    }
  };
  check(::fsync(fd_) == 0, "sync");
  check(::close(fd_) == 0, "close");
  fd_ = -1;
  if (!failed)
    check(::rename(name_.c_str(), path_.c_str()) == 0, "rename");
  if (failed) {
    discard();
    throw std::runtime_error(std::string(failed) + " failed: " + std::strerror(error));
  }
  PendingFiles::release(slot_);
  pending_ = false;
  syncFolder(folderOf(path_));
}

void replaceFile(const std::string& path, const void* data, size_t size)
{
  TemporaryFile file(path);
  if (!writeAll(file.descriptor(), static_cast<const unsigned char*>(data), size)) {
    const int error = errno;
    file.discard();
    throw std::runtime_error(std::string("write failed: ") + std::strerror(error));
  }
  file.commit();
}

} // namespace cli
