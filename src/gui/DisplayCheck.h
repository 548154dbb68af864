#pragma once
// Whether the desktop program has a display to open its windows on, told from the environment
// before Qt starts (Qt would abort the program with its platform-plugin message instead).
#include <functional>
#include <string>

namespace kov {

using Environment = std::function<const char*(const char* name)>;

// Empty when a display can be expected: DISPLAY or WAYLAND_DISPLAY is set, a Wayland socket is in
// XDG_RUNTIME_DIR, or QT_QPA_PLATFORM names a platform that needs none (offscreen, vnc, eglfs,
// linuxfb, ...). Otherwise the one line that says so and what to use instead.
std::string MissingDisplay(const Environment& env);
std::string MissingDisplay();

}  // namespace kov
