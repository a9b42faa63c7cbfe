#pragma once

#include <string>

class Tweenova;

namespace tweenova {

// Work done when a node is created: log level, plug-in directory, CUDA environment checks.
void startUp(Tweenova& node);
// Work done when a node is destroyed: the network leaves the GPU first; nothing is thrown.
void tearDown(Tweenova& node) noexcept;

} // namespace tweenova

// Directory of the loaded plug-in library, without a trailing separator; empty when unknown.
std::string getPluginPath();
