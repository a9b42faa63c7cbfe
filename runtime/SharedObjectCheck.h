#pragma once

#include <string>

namespace tweenova {

// Checks, before it is handed to the dynamic loader, that `path` is a whole
// shared object for this machine: an ELF header of this machine's class,
// byte order and architecture, a shared-object type, and a program header
// table and loadable segments that all lie inside the file. A truncated or
// damaged file would otherwise make the loader read past the end of its
// mapping and the process die of SIGBUS. Throws std::runtime_error saying why.
void checkSharedObject(const std::string& path);

} // namespace tweenova
