#include "app/ServiceStatus.h"

#include "app/StatusSource.h"
#include "terminal/Terminal.h"

namespace kov {
namespace {

std::string Count(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string ServiceStatusLine(const StatusIndicators& indicators, const ConsoleState& console) {
  int listening = 0;
  int bridged = 0;
  int linked = -1;
  for (int i = 0; i < kStatusPortCount; ++i) {
    IndicatorColour local = indicators[LocalIndicator(i)].Colour;
    if (local != IndicatorColour::Idle) ++listening;
    if (local == IndicatorColour::Connected) ++bridged;
    if (indicators[RemoteIndicator(i)].Colour == IndicatorColour::Connected) linked = i;
  }
  std::string line = Count(listening, "port listening", "ports listening") + ", " +
                     Count(bridged, "client bridged", "clients bridged");
  if (linked >= 0) line += ", COM" + std::to_string(linked + 1) + " linked to the remote server";
  line += console.Listening ? ", console on port " + std::to_string(console.Port)
                            : ", console not listening (port " + std::to_string(console.Port) + ")";
  return line;
}

std::string ReadServiceStatusLine(const Application& app) {
  ConsoleState console;
  if (app.BridgeTerminal) {
    console.Port = app.BridgeTerminal->Server.Port();
    console.Listening = app.BridgeTerminal->Server.Active();
  }
  return ServiceStatusLine(ComputeStatus(ReadStatusInputs(app)), console);
}

}  // namespace kov
