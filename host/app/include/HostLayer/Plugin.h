#pragma once

#include <string>

namespace HostLayer {

// Loads a plug-in library; its static registrations make its classes known.
// Throws std::runtime_error with the loader's message on failure.
// Returns the loader handle, for looking up entry points the plug-in exports.
void* loadPlugin(const std::string& path);

} // namespace HostLayer
