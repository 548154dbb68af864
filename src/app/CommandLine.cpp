#include "app/CommandLine.h"

#include <cstdio>
#include <cstring>

#include "Version.h"

namespace kov {

int HandleCommandLine(int argc, char** argv, const char* programName, const char* usage) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("Usage: %s [--help | --version]\n\n%s", programName, usage);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("KOV Bridge %s\n", kVersionText);
      return 0;
    }
    std::fprintf(stderr, "%s: unknown argument '%s' (try --help)\n", programName, argv[i]);
    return 2;
  }
  return -1;
}

}  // namespace kov
