#include "bridge/PortTable.h"

#include <vector>

#include "event/Log.h"

namespace kov {

PortTable::PortTable() : lines_(DefaultPortLines()) {}

PortTable::PortTable(const PortPathList& paths) : lines_(PortLinesWithPaths(paths)) {}

PortTable::PortTable(const PortLineList& lines) : lines_(lines) {}

PortTable::PortTable(Locate locate) : locate_(std::move(locate)) {
  std::vector<std::string> problems;
  lines_ = ReadPortLines(locate_(), &problems);
  for (const std::string& problem : problems) LogWarning(problem);
}

void PortTable::Reread(int32_t port) {
  if (!locate_) return;
  const PortLineList fresh = ReadPortLines(locate_());
  lines_.at(static_cast<size_t>(port)) = fresh.at(static_cast<size_t>(port));
}

}  // namespace kov
