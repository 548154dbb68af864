#include "app/PortPathsFile.h"

#include <unistd.h>

#include "bridge/PortPaths.h"
#include "event/Log.h"

namespace kov {

std::string FindPortPathsFile(const std::vector<std::string>& dirs) {
  auto inDir = [](const std::string& dir) {
    return dir == "." ? std::string(kPortPathsFile) : dir + "/" + kPortPathsFile;
  };
  for (size_t i = 0; i < dirs.size(); ++i) {
    std::string path = inDir(dirs[i]);
    if (access(path.c_str(), F_OK) != 0) continue;
    if (i > 0) Log("device paths from " + path + " (none in the working directory)");
    return path;
  }
  return dirs.empty() ? std::string(kPortPathsFile) : inDir(dirs.front());
}

}  // namespace kov
