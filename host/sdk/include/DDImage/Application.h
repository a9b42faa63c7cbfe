#pragma once

namespace DD {
namespace Image {

class Application {
public:
  // False in terminal and batch renders.
  static bool IsGUIActive();
  // Set by the host (and by tests) to say whether an interactive interface is running.
  static void SetGUIActive(bool active);
};

} // namespace Image
} // namespace DD
