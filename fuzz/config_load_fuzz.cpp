// Feeds arbitrary bytes to the configuration loader as the contents of BridgeConfig.sys.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "config/ConfigFile.h"

namespace {

std::string FuzzFile() {
  static std::string path = [] {
    char tmpl[] = "/tmp/kovfuzz-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    return std::string(dir ? dir : "/tmp") + "/BridgeConfig.sys";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = FuzzFile();
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  kov::TConfigFile config(path);
  int32_t result = config.Load();
  if (result != 0 && result != -296 && result != -298) __builtin_trap();
  if (result == 0) {
    // Whatever loaded must save and load back to the same values.
    kov::TConfigFile again(path);
    if (config.Save() != 0 || again.Load() != 0) __builtin_trap();
    if (again.Password != config.Password || again.ServicePort != config.ServicePort ||
        again.AccAddress != config.AccAddress)
      __builtin_trap();
    for (int i = 0; i < 8; ++i) {
      const auto& a = config.Ports[i];
      const auto& b = again.Ports[i];
      if (a.TcpPort != b.TcpPort || a.SpeedIndex != b.SpeedIndex ||
          a.ParityIndex != b.ParityIndex || a.Active != b.Active)
        __builtin_trap();
    }
  }
  return 0;
}
