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

// The name a temporary file for `path` is given: ".<name>.<host>.<random>.tmp" in its folder.
std::string temporaryNameFor(const std::string& path);

} // namespace cli
