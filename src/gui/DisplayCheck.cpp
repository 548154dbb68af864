#include "gui/DisplayCheck.h"

#include <unistd.h>

#include <cstdlib>

namespace kov {
namespace {

bool Set(const char* value) { return value != nullptr && value[0] != '\0'; }

}  // namespace

std::string MissingDisplay(const Environment& env) {
  if (const char* platform = env("QT_QPA_PLATFORM"); Set(platform)) {
    // The first platform of a "a;b" fallback list is the one Qt tries first.
    std::string first(platform);
    first = first.substr(0, first.find(';'));
    if (first != "xcb" && first.rfind("wayland", 0) != 0) return {};
  }
  if (Set(env("DISPLAY")) || Set(env("WAYLAND_DISPLAY"))) return {};
  if (const char* runtime = env("XDG_RUNTIME_DIR"); Set(runtime)) {
    if (access((std::string(runtime) + "/wayland-0").c_str(), F_OK) == 0) return {};
  }
  return "no display found (DISPLAY and WAYLAND_DISPLAY are not set); the headless kovbridge "
         "serves the same bridges without one";
}

std::string MissingDisplay() {
  return MissingDisplay([](const char* name) { return std::getenv(name); });
}

}  // namespace kov
