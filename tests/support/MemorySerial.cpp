#include "tests/support/MemorySerial.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "event/EventLoop.h"

namespace kov {
namespace {

const char* const kOperations[] = {"SioReset", "SioParms", "SioBaud", "SioDone", "Signal"};

PortTable MemoryPorts() {
  PortPathList paths;
  for (int32_t i = 0; i < kSioPortCount; ++i) paths[i] = "memory:COM" + std::to_string(i + 1);
  return PortTable(paths);
}

const char* OnOff(bool on) { return on ? "on" : "off"; }

void CheckOperation(const std::string& operation) {
  for (const char* known : kOperations) {
    if (operation == known) return;
  }
  throw std::invalid_argument("MemorySerial: no operation named " + operation);
}

}  // namespace

MemorySerial::MemorySerial(EventLoop& loop) : SerialLibrary(loop, MemoryPorts()) {}

MemorySerial::MemorySerial(EventLoop& loop, PortTable table)
    : SerialLibrary(loop, std::move(table)) {}

const MemorySerial::Line& MemorySerial::At(int32_t port) const {
  if (port < 0 || port >= kSioPortCount) {
    throw std::out_of_range("MemorySerial: no port " + std::to_string(port));
  }
  return lines_[port];
}

MemorySerial::Line& MemorySerial::At(int32_t port) {
  return const_cast<Line&>(static_cast<const MemorySerial*>(this)->At(port));
}

bool MemorySerial::Failing(const char* operation, int32_t port, int32_t& code) const {
  if (failures_.empty()) return false;
  auto it = failures_.find({operation, port});
  if (it == failures_.end()) return false;
  code = it->second;
  return true;
}

void MemorySerial::Record(const char* operation, std::initializer_list<int32_t> args, int32_t rc) {
  std::string text = std::string(operation) + "(";
  const char* separator = "";
  for (int32_t arg : args) {
    text += separator + std::to_string(arg);
    separator = ",";
  }
  calls_.push_back(text + ")=" + std::to_string(rc));
}

// ---------------------------------------------------------------------------------------------
// The hooks

int32_t MemorySerial::OpenDevice(int32_t port, const std::string&, size_t rxSize, size_t txSize,
                                 OpenFailure& failure) {
  Line& line = lines_[port];
  const int32_t rxQueue = static_cast<int32_t>(rxSize);
  const int32_t txQueue = static_cast<int32_t>(txSize);
  int32_t rc = 0;
  if (Failing("SioReset", port, rc)) {
    failure.why = "failing on demand";
  } else if (line.unplugged) {
    failure.why = "No such file or directory";
    failure.missing = true;
    rc = kSioCannotOpen;
  } else {
    // What left the transmit ring stays for TakeWritten; what waited in it is lost with the
    // closing, as on a real port.
    line.open = true;
    line.gone = false;
    line.openId = nextOpenId_++;
    line.rxSize = rxQueue;
    line.txSize = txQueue;
    line.rx.clear();
    line.heldBack.clear();
    line.tx.clear();
    line.applied = false;
    line.line = LineSetting{};
    line.breakOn = false;
  }
  Record("SioReset", {port, rxQueue, txQueue}, rc);
  return rc;
}

int32_t MemorySerial::CloseDevice(int32_t port, size_t& unsent) {
  Line& line = lines_[port];
  int32_t rc = 0;
  if (!Failing("SioDone", port, rc)) {
    unsent = line.tx.size();
    line.open = false;
    line.gone = false;
    line.rx.clear();
    line.heldBack.clear();
    line.tx.clear();
  }
  Record("SioDone", {port}, rc);
  return rc;
}

int32_t MemorySerial::ApplyLine(int32_t port, const LineSetting&, const LineSetting& wanted,
                                SioStep& part, std::string& why) {
  Line& line = lines_[port];
  int32_t rc = 0;
  if (Failing("SioParms", port, rc)) {
    part = SioStep::Parms;
    why = "failing on demand";
  } else if (Failing("SioBaud", port, rc)) {
    part = SioStep::Baud;
    why = "failing on demand";
  } else {
    line.applied = true;
    line.line.rate = wanted.rate;
    line.line.dataBits = wanted.dataBits;
    line.line.parity = wanted.parity;
    line.line.stopBits = wanted.stopBits;
    line.line.flow = wanted.flow;
  }
  LineSetting format = wanted;
  format.dtr = format.rts = true;
  format.lowLatency = false;
  Record("Line(" + std::to_string(port) + "," + DescribeLine(format) + ")=" + std::to_string(rc));
  return rc;
}

MemorySerial::SignalResult MemorySerial::SetSignal(int32_t port, ModemSignal signal, bool on,
                                                   std::string& why) {
  Line& line = lines_[port];
  std::string name = SignalName(signal);
  name[0] = static_cast<char>(name[0] - 'a' + 'A');
  const std::string call = name + "(" + std::to_string(port) + "," + OnOff(on) + ")=";
  int32_t rc = 0;
  if (line.noModemLines) {
    why = "the driver has no modem lines";
    Record(call + "unsupported");
    return SignalResult::Unsupported;
  }
  if (Failing("Signal", port, rc)) {
    why = "failing on demand";
    Record(call + std::to_string(rc));
    return SignalResult::Failed;
  }
  if (signal == ModemSignal::Dtr) line.line.dtr = on;
  if (signal == ModemSignal::Rts) line.line.rts = on;
  if (signal == ModemSignal::Break) line.breakOn = on;
  Record(call + "0");
  return SignalResult::Done;
}

MemorySerial::SignalResult MemorySerial::SetLowLatency(int32_t port, bool on, std::string& why) {
  Line& line = lines_[port];
  const std::string call = "LowLatency(" + std::to_string(port) + "," + OnOff(on) + ")=";
  if (line.lowLatencyRefused) {
    why = "Inappropriate ioctl for device";
    Record(call + "unsupported");
    return SignalResult::Unsupported;
  }
  line.line.lowLatency = on;
  Record(call + "0");
  return SignalResult::Done;
}

ModemStatus MemorySerial::ReadModemLines(int32_t port) {
  const Line& line = lines_[port];
  return line.noModemLines ? ModemStatus{} : line.modem;
}

void MemorySerial::Purge(int32_t port, bool receive, bool transmit) {
  Line& line = lines_[port];
  if (receive) {
    line.rx.clear();
    line.heldBack.clear();
  }
  if (transmit) line.tx.clear();
  Record("Purge(" + std::to_string(port) + (receive ? ",rx" : "") + (transmit ? ",tx" : "") + ")");
}

size_t MemorySerial::RxWaiting(int32_t port) { return lines_[port].rx.size(); }

size_t MemorySerial::TakeRx(int32_t port, char* buffer, size_t maxCount) {
  Line& line = lines_[port];
  size_t n = std::min(line.rx.size(), maxCount);
  if (n > 0) std::memcpy(buffer, line.rx.data(), n);
  line.rx.erase(0, n);
  TakeIn(port);
  return n;
}

size_t MemorySerial::PutTx(int32_t port, const char* bytes, size_t count) {
  Line& line = lines_[port];
  if (line.txCapacity == 0) {
    line.written.append(bytes, count);
    return count;
  }
  size_t room = line.txCapacity - std::min(line.txCapacity, line.tx.size());
  size_t taken = std::min(room, count);
  line.tx.append(bytes, taken);
  return taken;
}

size_t MemorySerial::TxFree(int32_t port) {
  const Line& line = lines_[port];
  if (line.txCapacity == 0) return static_cast<size_t>(line.txSize);
  return line.txCapacity - std::min(line.txCapacity, line.tx.size());
}

// ---------------------------------------------------------------------------------------------
// The device's end

size_t MemorySerial::Feed(int32_t port, std::string_view bytes) {
  Line& line = At(port);
  if (!line.open || line.gone) return 0;
  line.heldBack.append(bytes);
  TakeIn(port);
  return bytes.size();
}

void MemorySerial::TakeIn(int32_t port) {
  Line& line = lines_[port];
  size_t room = static_cast<size_t>(line.rxSize) - std::min<size_t>(line.rxSize, line.rx.size());
  size_t n = std::min(room, line.heldBack.size());
  if (n == 0) return;
  line.rx.append(line.heldBack, 0, n);
  line.heldBack.erase(0, n);
  Notify(port, true);
}

size_t MemorySerial::HeldBack(int32_t port) const { return At(port).heldBack.size(); }

std::string MemorySerial::TakeWritten(int32_t port) {
  return std::exchange(At(port).written, std::string());
}

void MemorySerial::SetTxCapacity(int32_t port, size_t capacity) {
  At(port).txCapacity = capacity;
  if (capacity == 0) DrainTx(port);  // an instant line holds nothing back
}

size_t MemorySerial::DrainTx(int32_t port, size_t maxBytes) {
  Line& line = At(port);
  size_t n = std::min(maxBytes, line.tx.size());
  line.written.append(line.tx, 0, n);
  line.tx.erase(0, n);
  if (line.open && !line.gone && n > 0) Notify(port, false);
  return n;
}

size_t MemorySerial::TxQueued(int32_t port) const { return At(port).tx.size(); }

void MemorySerial::Unplug(int32_t port) {
  Line& line = At(port);
  line.unplugged = true;
  if (!line.open || line.gone) return;
  line.gone = true;
  line.heldBack.clear();
  const size_t unsent = line.tx.size();
  line.tx.clear();
  ReportDeviceLost(port, "hang-up", unsent);
}

void MemorySerial::Plug(int32_t port) { At(port).unplugged = false; }

void MemorySerial::Notify(int32_t port, bool rxData) {
  const uint64_t openId = lines_[port].openId;
  Loop().Post(alive_.Guard([this, port, openId, rxData] {
    const Line& line = lines_[port];
    if (!line.open || line.openId != openId) return;
    if (rxData) {
      ReportRxData(port);
    } else if (TxFree(port) > 0) {
      ReportTxRoom(port);
    }
  }));
}

// ---------------------------------------------------------------------------------------------
// Failures and records

void MemorySerial::FailWith(const std::string& operation, int32_t port, int32_t code) {
  CheckOperation(operation);
  failures_[{operation, port}] = code;
}

void MemorySerial::ClearFailure(const std::string& operation, int32_t port) {
  CheckOperation(operation);
  failures_.erase({operation, port});
}

void MemorySerial::ClearFailures() { failures_.clear(); }

bool MemorySerial::IsOpen(int32_t port) const { return At(port).open; }
int32_t MemorySerial::Parity(int32_t port) const {
  const Line& line = At(port);
  return line.applied ? static_cast<int32_t>(line.line.parity) : -1;
}
int32_t MemorySerial::StopBits(int32_t port) const {
  const Line& line = At(port);
  return line.applied ? line.line.stopBits - 1 : -1;
}
int32_t MemorySerial::DataBits(int32_t port) const {
  const Line& line = At(port);
  return line.applied ? line.line.dataBits : -1;
}
int32_t MemorySerial::BaudCode(int32_t port) const {
  const Line& line = At(port);
  if (!line.applied) return -1;
  for (int32_t code = 0; code < kSioBaudCodes; ++code) {
    if (static_cast<uint32_t>(BaudRateOfCode(code)) == line.line.rate) return code;
  }
  return -1;
}
const LineSetting& MemorySerial::AppliedLine(int32_t port) const { return At(port).line; }
bool MemorySerial::Break(int32_t port) const { return At(port).breakOn; }
void MemorySerial::SetNoModemLines(int32_t port, bool none) { At(port).noModemLines = none; }
void MemorySerial::SetLowLatencyRefused(int32_t port, bool refused) {
  At(port).lowLatencyRefused = refused;
}
void MemorySerial::SetModemStatus(int32_t port, const ModemStatus& status) {
  At(port).modem = status;
}
int32_t MemorySerial::RxQueueSize(int32_t port) const { return At(port).rxSize; }
int32_t MemorySerial::TxQueueSize(int32_t port) const { return At(port).txSize; }

}  // namespace kov
