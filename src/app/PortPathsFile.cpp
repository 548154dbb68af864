#include "app/PortPathsFile.h"

#include <unistd.h>

#include "bridge/PortLines.h"
#include "event/Log.h"

namespace kov {

std::string FindPortPathsFile(const std::vector<std::string>& dirs, bool quiet) {
  auto inDir = [](const std::string& dir) {
    return dir == "." ? std::string(kPortLinesFile) : dir + "/" + kPortLinesFile;
  };
  for (size_t i = 0; i < dirs.size(); ++i) {
    std::string path = inDir(dirs[i]);
    if (access(path.c_str(), F_OK) != 0) continue;
    if (i > 0 && !quiet) Log("device paths from " + path + " (none in the working directory)");
    return path;
  }
  return dirs.empty() ? std::string(kPortLinesFile) : inDir(dirs.front());
}

PortTable LoadPortTable(const std::vector<std::string>& dirs) {
  bool first = true;
  return PortTable([dirs, first]() mutable {
    const bool quiet = !first;
    first = false;
    return FindPortPathsFile(dirs, quiet);
  });
}

}  // namespace kov
