// Where BridgePorts.conf is read: the working directory first, then the system folder.
#include "app/PortPathsFile.h"

#include <gtest/gtest.h>

#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace kov {
namespace {

TEST(PortPathsFile, WorkingDirectoryFirstThenTheSystemFolderElseTheMissingLocalFile) {
  TempDir work, system;
  LogCapture log;
  EXPECT_EQ(FindPortPathsFile({work.Root(), system.Root()}), work.Path("BridgePorts.conf"))
      << "neither has one: the local file, read as missing";
  system.Write("BridgePorts.conf", "COM1=/dev/ttyUSB0\n");
  EXPECT_EQ(FindPortPathsFile({work.Root(), system.Root()}), system.Path("BridgePorts.conf"));
  EXPECT_EQ(log.Count("device paths from " + system.Path("BridgePorts.conf")), 1u) << log.All();
  work.Write("BridgePorts.conf", "COM1=/dev/ttyS0\n");
  EXPECT_EQ(FindPortPathsFile({work.Root(), system.Root()}), work.Path("BridgePorts.conf"));
  EXPECT_EQ(FindPortPathsFile({".", "/nonexistent/kov"}), "BridgePorts.conf")
      << "the working directory is named relatively";
}

}  // namespace
}  // namespace kov
