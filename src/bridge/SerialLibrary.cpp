// The serial library's contract: checks, codes, leases, events and log lines, once for every
// backend.
#include "bridge/SerialLibrary.h"

#include <utility>

#include "bridge/SerialLease.h"
#include "event/EventLoop.h"
#include "event/Log.h"

namespace kov {
namespace {

constexpr int32_t kBaudRates[kSioBaudCodes] = {300,  600,   1200,  2400,  4800,
                                               9600, 19200, 38400, 57600, 115200};

bool QueueSizeValid(int32_t size) { return size > 0 && size <= kMaxSerialQueue; }

std::string Unsent(size_t count) {
  return count > 0 ? ", " + std::to_string(count) + " unsent bytes dropped" : std::string();
}

}  // namespace

int32_t BaudRateOfCode(int32_t baudCode) {
  return baudCode >= 0 && baudCode < kSioBaudCodes ? kBaudRates[baudCode] : 0;
}

Parity ParityOfCode(int32_t parityCode) {
  return parityCode == 1 ? Parity::Odd : parityCode == 2 ? Parity::Even : Parity::None;
}

const char* StepName(SioStep step) {
  switch (step) {
    case SioStep::Reset:
      return "SioReset";
    case SioStep::Parms:
      return "SioParms";
    case SioStep::Baud:
      return "SioBaud";
  }
  return "";
}

struct SerialLibrary::PortState {
  bool open = false;
  bool lost = false;  // open, but the device went away
  bool away = false;  // the device went away and the port has not opened since
  bool txRoomWanted = false;
  bool breakOn = false;
  size_t droppedSinceLoss = 0;  // SioPuts bytes dropped after the loss
  LineSetting line;             // in force while open
  std::string path;             // the path opened
  uint64_t holder = 0;          // the lease, 0 for none
  SerialEvents events;
};

SerialLibrary::SerialLibrary(EventLoop& loop, PortTable table)
    : loop_(loop), table_(std::move(table)), ports_(std::make_unique<PortState[]>(kSioPortCount)) {}

SerialLibrary::~SerialLibrary() = default;

std::string SerialLibrary::PortName(int32_t port) { return "COM" + std::to_string(port + 1); }

void SerialLibrary::Log(const Caller& caller, const std::string& line, bool missing) const {
  if (caller.log == OpenLog::Quiet || (caller.log == OpenLog::QuietIfMissing && missing)) return;
  kov::Log(line);
}

int32_t SerialLibrary::Admit(int32_t port, const Caller& caller) const {
  if (port < 0 || port >= kSioPortCount) return kSioBadPort;
  if (ports_[port].holder != caller.holder) return kSioCannotOpen;
  return 0;
}

int32_t SerialLibrary::AdmitOpen(int32_t port, const Caller& caller) const {
  if (int32_t rc = Admit(port, caller); rc < 0) return rc;
  return ports_[port].open ? 0 : kSioNotOpen;
}

// ---------------------------------------------------------------------------------------------
// The public operations: no holder

int32_t SerialLibrary::SioReset(int32_t port, int32_t rxQueueSize, int32_t txQueueSize) {
  return Open(port, PortSetup{rxQueueSize, txQueueSize, LineSetting{}}, {}, nullptr);
}
int32_t SerialLibrary::SioParms(int32_t port, int32_t parity, int32_t stopBits, int32_t dataBits) {
  return Parms(port, parity, stopBits, dataBits, {});
}
int32_t SerialLibrary::SioBaud(int32_t port, int32_t baudCode) { return Baud(port, baudCode, {}); }
int32_t SerialLibrary::SioRxQue(int32_t port) { return RxQue(port, {}); }
int32_t SerialLibrary::SioGets(int32_t port, char* buffer, int32_t maxCount) {
  return Gets(port, buffer, maxCount, {});
}
int32_t SerialLibrary::SioPuts(int32_t port, const char* bytes, int32_t count) {
  return Puts(port, bytes, count, {});
}
int32_t SerialLibrary::SioDone(int32_t port) { return Done(port, {}); }
int32_t SerialLibrary::SioTxFree(int32_t port) { return TxFreeOf(port, {}); }

// ---------------------------------------------------------------------------------------------
// Opening and closing

int32_t SerialLibrary::Open(int32_t port, const PortSetup& setup, const Caller& caller,
                            OpenFailure* failure) {
  OpenFailure ignored;
  OpenFailure& f = failure ? *failure : ignored;
  f = OpenFailure{};
  if (int32_t rc = Admit(port, caller); rc < 0) return rc;
  if (!QueueSizeValid(setup.rxQueueSize) || !QueueSizeValid(setup.txQueueSize)) {
    return kSioOutOfRange;
  }
  const LineSetting& line = setup.line;
  if (!LineSettingValid(line, f.why)) {
    f.step = SioStep::Parms;
    return kSioOutOfRange;
  }
  PortState& s = ports_[port];
  // Whoever waited for room in the old transmit ring is told that the new, empty one has it.
  const bool owedTxRoom = s.open && s.txRoomWanted;
  if (s.open && CloseOpen(port, caller) < 0) s.open = false;  // opened afresh all the same
  s.txRoomWanted = false;
  s.breakOn = false;
  const std::string path = table_.Line(port).path;
  int32_t rc = OpenDevice(port, path, static_cast<size_t>(setup.rxQueueSize),
                          static_cast<size_t>(setup.txQueueSize), f);
  if (rc < 0) {
    f.step = SioStep::Reset;
    Log(caller, PortName(port) + " cannot open " + path + ": " + f.why, f.missing);
    return rc;
  }
  // The whole line at once: rate, format and flow control, then the modem lines and the mode.
  std::string notes;
  f.step = SioStep::Parms;
  rc = ApplyLine(port, LineSetting{}, line, f.step, f.why);
  if (rc == 0 && !ApplyExtras(port, line, nullptr, f.why, notes)) {
    f.step = SioStep::Parms;
    rc = kSioHardware;
  }
  if (rc < 0) {
    size_t unsent = 0;
    CloseDevice(port, unsent);
    Log(caller,
        PortName(port) + " cannot open " + path + " with " + DescribeLine(line) + ": " + f.why);
    return rc;
  }
  s.open = true;
  s.lost = false;
  s.away = false;
  s.droppedSinceLoss = 0;
  s.line = line;
  s.path = path;
  Log(caller, PortName(port) + " opened on " + path + " (" + DescribeLine(line) + ")" + notes);
  if (owedTxRoom) Post(port, Event::TxRoom);
  return 0;
}

bool SerialLibrary::ApplyExtras(int32_t port, const LineSetting& line, const LineSetting* current,
                                std::string& why, std::string& notes) {
  auto apply = [&](ModemSignal signal, bool on) {
    std::string reason;
    switch (SetSignal(port, signal, on, reason)) {
      case SignalResult::Done:
        return true;
      case SignalResult::Unsupported:
        // A line with no modem lines (a pseudo-terminal) resets nothing by raising them.
        if (!on)
          notes += std::string(", ") + SignalName(signal) + " off not applied (" + reason + ")";
        return true;
      case SignalResult::Failed:
        why = std::string("cannot set ") + SignalName(signal) + ": " + reason;
        return false;
    }
    return false;
  };
  if ((!current || current->dtr != line.dtr) && !apply(ModemSignal::Dtr, line.dtr)) return false;
  // With hardware flow control RTS is the driver's.
  const bool rtsOurs = line.flow != FlowControl::RtsCts;
  if (rtsOurs && (!current || current->rts != line.rts || current->flow == FlowControl::RtsCts) &&
      !apply(ModemSignal::Rts, line.rts)) {
    return false;
  }
  if (line.lowLatency != (current ? current->lowLatency : false)) {
    std::string reason;
    if (SetLowLatency(port, line.lowLatency, reason) != SignalResult::Done && line.lowLatency) {
      // Best effort: the line works all the same, a little slower to answer.
      notes += ", low latency refused by the driver (" + reason + ")";
    }
  }
  return true;
}

int32_t SerialLibrary::Done(int32_t port, const Caller& caller) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  return CloseOpen(port, caller);
}

int32_t SerialLibrary::CloseOpen(int32_t port, const Caller& caller) {
  PortState& s = ports_[port];
  size_t unsent = 0;
  if (int32_t rc = CloseDevice(port, unsent); rc < 0) return rc;
  unsent += s.droppedSinceLoss;
  // A lost device had its line when it went away; only bytes dropped since then are news.
  if (!s.lost || unsent > 0) {
    Log(caller, PortName(port) + " closed (" + s.path + ")" + Unsent(unsent));
  }
  s.open = false;
  s.lost = false;
  s.txRoomWanted = false;
  s.breakOn = false;
  s.droppedSinceLoss = 0;
  return 0;
}

void SerialLibrary::CloseAll() {
  for (int32_t port = 0; port < kSioPortCount; ++port) {
    if (ports_[port].open) CloseOpen(port, Caller{ports_[port].holder, OpenLog::Normal});
  }
}

// ---------------------------------------------------------------------------------------------
// Settings

int32_t SerialLibrary::Parms(int32_t port, int32_t parity, int32_t stopBits, int32_t dataBits,
                             const Caller& caller) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  if (dataBits != 7 && dataBits != 8) return kSioBadDataBits;
  if (parity < 0 || parity > 2 || stopBits < 0 || stopBits > 1) return kSioOutOfRange;
  LineSetting wanted = ports_[port].line;
  wanted.parity = ParityOfCode(parity);
  wanted.stopBits = static_cast<uint8_t>(stopBits + 1);
  wanted.dataBits = static_cast<uint8_t>(dataBits);
  const int32_t rc = Change(port, SioStep::Parms, wanted, caller);
  return rc == 0 ? 0 : kSioHardware;
}

int32_t SerialLibrary::Baud(int32_t port, int32_t baudCode, const Caller& caller) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  if (baudCode < 0 || baudCode >= kSioBaudCodes) return kSioBadBaud;
  LineSetting wanted = ports_[port].line;
  wanted.rate = static_cast<uint32_t>(BaudRateOfCode(baudCode));
  return Change(port, SioStep::Baud, wanted, caller);
}

int32_t SerialLibrary::Change(int32_t port, SioStep step, const LineSetting& wanted,
                              const Caller& caller) {
  PortState& s = ports_[port];
  std::string why = "the device is gone";
  std::string notes;
  SioStep part = step;
  int32_t rc = kSioHardware;
  if (!s.lost && LineSettingValid(wanted, why)) {
    rc = ApplyLine(port, s.line, wanted, part, why);
    if (rc == 0 && !s.lost && !ApplyExtras(port, wanted, &s.line, why, notes)) {
      // The modem lines were refused: the rest goes back to what it was.
      std::string ignored;
      ApplyLine(port, wanted, s.line, part, ignored);
      rc = kSioHardware;
    }
  }
  if (rc != 0) {
    if (rc > 0) rc = kSioHardware;
    Log(caller,
        PortName(port) + " cannot set " + DescribeLine(wanted) + " on " + s.path + ": " + why);
    return rc;
  }
  if (wanted != s.line) {
    Log(caller, PortName(port) + " set to " + DescribeLine(wanted) + " (" + s.path + ")" + notes);
  }
  s.line = wanted;
  return 0;
}

int32_t SerialLibrary::Signal(int32_t port, ModemSignal signal, bool on, const Caller& caller) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  PortState& s = ports_[port];
  if (s.lost) return kSioHardware;
  if (signal == ModemSignal::Rts && s.line.flow == FlowControl::RtsCts) {
    // The hardware drives RTS for the flow control.
    return kSioOutOfRange;
  }
  std::string why;
  if (SetSignal(port, signal, on, why) == SignalResult::Failed) {
    Log(caller, PortName(port) + " cannot set " + SignalName(signal) + (on ? " on" : " off") +
                    " on " + s.path + ": " + why);
    return kSioHardware;
  }
  // A line without modem lines keeps what it was given, as the client asked.
  if (signal == ModemSignal::Dtr) s.line.dtr = on;
  if (signal == ModemSignal::Rts) s.line.rts = on;
  if (signal == ModemSignal::Break) s.breakOn = on;
  return 0;
}

int32_t SerialLibrary::SetWholeLine(int32_t port, const LineSetting& wanted, const Caller& caller) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  std::string why;
  if (!LineSettingValid(wanted, why)) return kSioOutOfRange;
  return Change(port, SioStep::Parms, wanted, caller);
}

int32_t SerialLibrary::LineOf(int32_t port, const Caller& caller, LineSetting& line,
                              bool& breakOn) const {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  line = ports_[port].line;
  breakOn = ports_[port].breakOn;
  return 0;
}

int32_t SerialLibrary::ModemLinesOf(int32_t port, const Caller& caller, ModemStatus& status) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  status = ports_[port].lost ? ModemStatus{} : ReadModemLines(port);
  return 0;
}

int32_t SerialLibrary::PurgeRings(int32_t port, bool receive, bool transmit, const Caller& caller) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  if (!receive && !transmit) return 0;
  Purge(port, receive, transmit && !ports_[port].lost);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Queues

int32_t SerialLibrary::RxQue(int32_t port, const Caller& caller) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  return static_cast<int32_t>(RxWaiting(port));
}

int32_t SerialLibrary::Gets(int32_t port, char* buffer, int32_t maxCount, const Caller& caller) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  if (maxCount < 0 || (maxCount > 0 && !buffer)) return kSioOutOfRange;
  return static_cast<int32_t>(TakeRx(port, buffer, static_cast<size_t>(maxCount)));
}

int32_t SerialLibrary::Puts(int32_t port, const char* bytes, int32_t count, const Caller& caller) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  if (count < 0 || (count > 0 && !bytes)) return kSioOutOfRange;
  PortState& s = ports_[port];
  if (s.lost) {
    // There is no device to send to: the bytes are dropped as if sent, and counted.
    s.droppedSinceLoss += static_cast<size_t>(count);
    return count;
  }
  return static_cast<int32_t>(PutTx(port, bytes, static_cast<size_t>(count)));
}

int32_t SerialLibrary::TxFreeOf(int32_t port, const Caller& caller) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  return static_cast<int32_t>(TxFree(port));
}

void SerialLibrary::WantTxRoom(int32_t port, const Caller& caller) {
  if (AdmitOpen(port, caller) < 0) return;
  PortState& s = ports_[port];
  if (s.txRoomWanted) return;
  s.txRoomWanted = true;
  if (s.lost || TxFree(port) > 0) Post(port, Event::TxRoom);
}

// ---------------------------------------------------------------------------------------------
// Leases

std::unique_ptr<SerialLease> SerialLibrary::Lease(int32_t port, SerialEvents events) {
  if (port < 0 || port >= kSioPortCount || ports_[port].holder != 0) return nullptr;
  const uint64_t holder = nextHolder_++;
  ports_[port].holder = holder;
  ports_[port].events = std::move(events);
  ports_[port].txRoomWanted = false;
  return std::unique_ptr<SerialLease>(new SerialLease(*this, port, holder));
}

void SerialLibrary::Release(int32_t port, uint64_t holder) {
  PortState& s = ports_[port];
  if (s.holder != holder) return;
  const Caller caller{holder, OpenLog::Normal};
  if (s.open && Done(port, caller) < 0) {
    // A close that fails leaves the port open but no longer anyone's.
    kov::Log(PortName(port) + " could not be closed when its holder let it go");
  }
  s.holder = 0;
  s.events = SerialEvents{};
  s.txRoomWanted = false;
}

bool SerialLibrary::Leased(int32_t port) const {
  return port >= 0 && port < kSioPortCount && ports_[port].holder != 0;
}

bool SerialLibrary::DeviceAway(int32_t port) const {
  return port >= 0 && port < kSioPortCount && ports_[port].away;
}

std::string SerialLibrary::PortPath(int32_t port) const {
  if (port < 0 || port >= kSioPortCount) return {};
  return ports_[port].open ? ports_[port].path : table_.Line(port).path;
}

// ---------------------------------------------------------------------------------------------
// Events

bool SerialLibrary::TxRoomWanted(int32_t port) const { return ports_[port].txRoomWanted; }

void SerialLibrary::ReportRxData(int32_t port) { Deliver(port, Event::RxData); }

void SerialLibrary::ReportTxRoom(int32_t port) {
  if (!ports_[port].txRoomWanted) return;
  ports_[port].txRoomWanted = false;
  Deliver(port, Event::TxRoom);
}

void SerialLibrary::ReportDeviceLost(int32_t port, const std::string& why, size_t unsent) {
  PortState& s = ports_[port];
  if (!s.open || s.lost) return;
  s.lost = true;
  s.away = true;
  LogWarning(PortName(port) + " device " + s.path + " went away (" + why + ")" + Unsent(unsent));
  Post(port, Event::DeviceLost);
  // Nobody waits for room on a device that is gone.
  if (s.txRoomWanted) {
    s.txRoomWanted = false;
    Post(port, Event::TxRoom);
  }
}

void SerialLibrary::Deliver(int32_t port, Event event) {
  const SerialEvents& events = ports_[port].events;
  // A copy: the callback may end the lease, which drops the events.
  std::function<void()> callback = event == Event::RxData   ? events.OnRxData
                                   : event == Event::TxRoom ? events.OnTxRoom
                                                            : events.OnDeviceLost;
  if (callback) callback();
}

void SerialLibrary::Post(int32_t port, Event event) {
  const uint64_t holder = ports_[port].holder;
  if (holder == 0) return;
  loop_.Post(alive_.Guard([this, port, event, holder] {
    // Skipped when the lease ended or the port was closed in the meantime.
    if (ports_[port].holder == holder && ports_[port].open) Deliver(port, event);
  }));
}

}  // namespace kov
