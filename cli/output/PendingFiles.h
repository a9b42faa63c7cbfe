#pragma once

#include <string>

namespace cli {

// Temporary files being written, so that a signal handler can remove them
// before the process ends. Registration is lock-free and removal of every
// registered file (removeAll) is async-signal-safe.
namespace PendingFiles {

// Registers `path`; returns a slot for release(), or -1 when every slot is
// taken (the file is then not removed by removeAll).
int add(const std::string& path);
// Forgets a slot once its file was renamed into place or removed.
void release(int slot);
// Unlinks every registered file. Safe in a signal handler.
void removeAll();

} // namespace PendingFiles
} // namespace cli
