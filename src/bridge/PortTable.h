#pragma once
// The port lines in force (PortLines.h): read from BridgePorts.conf at start-up, and again for
// one port whenever that port is opened afresh from the console, so a corrected path or option
// applies at the next start of the port without a restart.
//
//   PortTable table([] { return std::string("BridgePorts.conf"); });  // read, problems logged
//   table.Reread(0);                  // COM1's line as the file says now, nothing logged
//   const PortLine& com1 = table.Line(0);
//
// A table made from fixed lines (tests, the in-memory serial layer) is never read again.
#include <cstdint>
#include <functional>
#include <string>

#include "bridge/PortLines.h"

namespace kov {

class PortTable {
 public:
  // Where the file is: asked anew at each reading, so a file that appears later is found.
  using Locate = std::function<std::string()>;

  // Every port on its default path.
  PortTable();
  // Fixed paths with the default options.
  PortTable(const PortPathList& paths);  // NOLINT: implicit, a list of paths is a table
  explicit PortTable(const PortLineList& lines);
  // Reads the file now and logs each line it cannot take.
  explicit PortTable(Locate locate);

  // Reads the file again, quietly, and takes this port's line from it; the other ports keep
  // theirs. A fixed table stays as it is.
  void Reread(int32_t port);
  // port 0..7.
  const PortLine& Line(int32_t port) const { return lines_.at(static_cast<size_t>(port)); }
  void SetLine(int32_t port, PortLine line) {
    lines_.at(static_cast<size_t>(port)) = std::move(line);
  }

 private:
  Locate locate_;
  PortLineList lines_;
};

}  // namespace kov
