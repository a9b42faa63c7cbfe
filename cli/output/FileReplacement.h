#pragma once

#include <cstddef>
#include <string>

namespace cli {

// Replaces the file `path` with `size` bytes at `data`, or leaves it as it
// was. The bytes go to a new temporary file in the same folder, created
// exclusively and without following links under an unpredictable name that
// holds the host name (folders may be shared by farm machines); every write
// is checked, the file is synced, renamed over `path` and the folder synced.
// On failure the temporary file is removed and std::runtime_error says why
// (the caller names the file). A signal handler removes a temporary file
// still being written through PendingFiles::removeAll().
void replaceFile(const std::string& path, const void* data, size_t size);

// The folder `path` names a file in: "." for a bare name, "/" for a file at the root.
std::string folderOf(const std::string& path);

// The name a temporary file for `path` is given: ".<name>.<host>.<random>.tmp" in its folder.
std::string temporaryNameFor(const std::string& path);

// A file written whole or not at all, for writers that produce it bit by bit
// (or have another program write it): a new temporary file for `path`,
// created as replaceFile creates it and registered with PendingFiles, which
// commit() renames over `path`. Destroyed uncommitted, it is removed.
class TemporaryFile {
public:
  // Throws std::runtime_error saying why the file cannot be created.
  explicit TemporaryFile(const std::string& path);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Open for writing until commit() or discard().
  int descriptor() const { return fd_; }
  const std::string& name() const { return name_; }
  // Syncs, closes and renames the file over the path, and syncs the folder.
  // Throws std::runtime_error naming the step that failed; the temporary
  // file is removed then.
  void commit();
  // Closes and removes the file.
  void discard();

private:
  std::string path_;
  std::string name_;
  int fd_ = -1;
  int slot_ = -1;         // in PendingFiles
  bool pending_ = false;  // the temporary file exists under its name
};

} // namespace cli
