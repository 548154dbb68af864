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

std::string DescribeSettings(const LineSettings& s) {
  std::string text = std::to_string(BaudRateOfCode(s.baudCode)) + " ";
  text += s.dataBits == 7 ? '7' : '8';
  text += s.parity == 1 ? 'O' : s.parity == 2 ? 'E' : 'N';
  text += s.stopBits == 1 ? '2' : '1';
  return text;
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
  size_t droppedSinceLoss = 0;  // SioPuts bytes dropped after the loss
  LineSettings settings;
  uint64_t holder = 0;  // the lease, 0 for none
  SerialEvents events;
};

SerialLibrary::SerialLibrary(EventLoop& loop)
    : loop_(loop), ports_(std::make_unique<PortState[]>(kSioPortCount)) {}

SerialLibrary::~SerialLibrary() = default;

std::string SerialLibrary::PortName(int32_t port) { return "COM" + std::to_string(port + 1); }

void SerialLibrary::Log(const Caller& caller, const std::string& line) const {
  if (!caller.quiet) kov::Log(line);
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
  return Reset(port, rxQueueSize, txQueueSize, {});
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

int32_t SerialLibrary::Reset(int32_t port, int32_t rxQueueSize, int32_t txQueueSize,
                             const Caller& caller) {
  if (int32_t rc = Admit(port, caller); rc < 0) return rc;
  if (!QueueSizeValid(rxQueueSize) || !QueueSizeValid(txQueueSize)) return kSioOutOfRange;
  PortState& s = ports_[port];
  // Whoever waited for room in the old transmit ring is told that the new, empty one has it.
  const bool owedTxRoom = s.open && s.txRoomWanted;
  if (s.open && CloseOpen(port, caller) < 0) s.open = false;  // opened afresh all the same
  std::string why;
  const int32_t rc =
      OpenDevice(port, static_cast<size_t>(rxQueueSize), static_cast<size_t>(txQueueSize), why);
  s.txRoomWanted = false;
  if (rc < 0) {
    Log(caller, PortName(port) + " cannot open " + DevicePath(port) + ": " + why);
    return rc;
  }
  s.open = true;
  s.lost = false;
  s.away = false;
  s.droppedSinceLoss = 0;
  s.settings = LineSettings{};
  Log(caller, PortName(port) + " opened on " + DevicePath(port) + " (" +
                  DescribeSettings(s.settings) + ")");
  if (owedTxRoom) Post(port, Event::TxRoom);
  return 0;
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
    Log(caller, PortName(port) + " closed (" + DevicePath(port) + ")" + Unsent(unsent));
  }
  s.open = false;
  s.lost = false;
  s.txRoomWanted = false;
  s.droppedSinceLoss = 0;
  return 0;
}

void SerialLibrary::CloseAll() {
  for (int32_t port = 0; port < kSioPortCount; ++port) {
    if (ports_[port].open) CloseOpen(port, Caller{ports_[port].holder, false});
  }
}

// ---------------------------------------------------------------------------------------------
// Settings

int32_t SerialLibrary::Parms(int32_t port, int32_t parity, int32_t stopBits, int32_t dataBits,
                             const Caller& caller) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  if (dataBits != 7 && dataBits != 8) return kSioBadDataBits;
  if (parity < 0 || parity > 2 || stopBits < 0 || stopBits > 1) return kSioOutOfRange;
  LineSettings wanted = ports_[port].settings;
  wanted.parity = parity;
  wanted.stopBits = stopBits;
  wanted.dataBits = dataBits;
  const int32_t rc = Apply(port, SioStep::Parms, wanted, caller);
  return rc == 0 ? 0 : kSioHardware;
}

int32_t SerialLibrary::Baud(int32_t port, int32_t baudCode, const Caller& caller) {
  if (int32_t rc = AdmitOpen(port, caller); rc < 0) return rc;
  if (baudCode < 0 || baudCode >= kSioBaudCodes) return kSioBadBaud;
  LineSettings wanted = ports_[port].settings;
  wanted.baudCode = baudCode;
  return Apply(port, SioStep::Baud, wanted, caller);
}

int32_t SerialLibrary::Apply(int32_t port, SioStep step, const LineSettings& wanted,
                             const Caller& caller) {
  PortState& s = ports_[port];
  std::string why = "the device is gone";
  const int32_t rc = s.lost ? kSioHardware : ApplySettings(port, step, s.settings, wanted, why);
  if (rc != 0) {
    Log(caller, PortName(port) + " cannot set " + DescribeSettings(wanted) + " on " +
                    DevicePath(port) + ": " + why);
    return rc;
  }
  if (DescribeSettings(wanted) != DescribeSettings(s.settings)) {
    Log(caller,
        PortName(port) + " set to " + DescribeSettings(wanted) + " (" + DevicePath(port) + ")");
  }
  s.settings = wanted;
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
  const Caller caller{holder, false};
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
  return port >= 0 && port < kSioPortCount ? DevicePath(port) : std::string();
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
  LogWarning(PortName(port) + " device " + DevicePath(port) + " went away (" + why + ")" +
             Unsent(unsent));
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
