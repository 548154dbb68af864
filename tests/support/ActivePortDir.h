#pragma once
// A working directory for the real program: a pseudo-terminal as COM1, saved as active, and
// free TCP ports for the console and for COM1.
#include <string>

#include "config/ConfigFile.h"
#include "tests/support/Pty.h"
#include "tests/support/TcpClient.h"
#include "tests/support/TempDir.h"

namespace kov {

struct ActivePortDir {
  TempDir dir;
  Pty com1;
  int consolePort = FreeTcpPort();
  int com1Port = FreeTcpPort();

  ActivePortDir() {
    dir.Write("BridgePorts.conf", "COM1=" + com1.Path() + "\n");
    TConfigFile config(dir.Path("BridgeConfig.sys"));
    config.ServicePort = std::to_string(consolePort);
    config.Ports[0].TcpPort = com1Port;
    config.Ports[0].Active = 1;
    saved = config.Save() == 0;
  }

  bool saved = false;
};

}  // namespace kov
