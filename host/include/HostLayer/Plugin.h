#pragma once

#include <string>

namespace HostLayer {

// Loads a plug-in library; its static registrations make its classes known.
// Throws std::runtime_error with the loader's message on failure.
void loadPlugin(const std::string& path);

} // namespace HostLayer
