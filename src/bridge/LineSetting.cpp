#include "bridge/LineSetting.h"

namespace kov {

bool LineSettingValid(const LineSetting& line, std::string& why) {
  if (line.rate == 0) {
    why = "no rate";
  } else if (line.dataBits < 5 || line.dataBits > 8) {
    why = std::to_string(line.dataBits) + " data bits";
  } else if (line.stopBits < 1 || line.stopBits > 2) {
    why = std::to_string(line.stopBits) + " stop bits";
  } else if (line.parity > Parity::Space) {
    why = "unknown parity";
  } else if (line.flow > FlowControl::XonXoff) {
    why = "unknown flow control";
  } else {
    return true;
  }
  return false;
}

char ParityLetter(Parity parity) {
  switch (parity) {
    case Parity::None:
      return 'N';
    case Parity::Odd:
      return 'O';
    case Parity::Even:
      return 'E';
    case Parity::Mark:
      return 'M';
    case Parity::Space:
      return 'S';
  }
  return '?';
}

const char* FlowName(FlowControl flow) {
  switch (flow) {
    case FlowControl::None:
      return "none";
    case FlowControl::RtsCts:
      return "rtscts";
    case FlowControl::XonXoff:
      return "xonxoff";
  }
  return "?";
}

const char* SignalName(ModemSignal signal) {
  switch (signal) {
    case ModemSignal::Dtr:
      return "dtr";
    case ModemSignal::Rts:
      return "rts";
    case ModemSignal::Break:
      return "break";
  }
  return "?";
}

std::string DescribeLine(const LineSetting& line) {
  std::string text = std::to_string(line.rate) + " " + std::to_string(line.dataBits) +
                     ParityLetter(line.parity) + std::to_string(line.stopBits);
  if (line.flow != FlowControl::None) text += std::string(", ") + FlowName(line.flow);
  if (!line.dtr) text += ", dtr off";
  if (!line.rts && line.flow != FlowControl::RtsCts) text += ", rts off";
  if (line.lowLatency) text += ", low latency";
  return text;
}

}  // namespace kov
