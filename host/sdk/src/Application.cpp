#include "DDImage/Application.h"

#include <atomic>

namespace DD {
namespace Image {

namespace {
std::atomic<bool> guiActive{false};
}

bool Application::IsGUIActive() { return guiActive; }
void Application::SetGUIActive(bool active) { guiActive = active; }

} // namespace Image
} // namespace DD
