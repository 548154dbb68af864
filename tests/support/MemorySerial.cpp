#include "bridge/MemorySerial.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "bridge/SerialRing.h"
#include "event/EventLoop.h"

namespace kov {
namespace {

const char* const kOperations[] = {"SioReset", "SioParms", "SioBaud", "SioRxQue",
                                   "SioGets",  "SioPuts",  "SioDone", "SioTxFree"};

void CheckOperation(const std::string& operation) {
  for (const char* known : kOperations) {
    if (operation == known) return;
  }
  throw std::invalid_argument("MemorySerial: no operation named " + operation);
}

void CheckPort(int32_t port) {
  if (port < 0 || port >= kSioPortCount) {
    throw std::out_of_range("MemorySerial: no port " + std::to_string(port));
  }
}

std::string CallText(const char* operation, std::initializer_list<int32_t> args, int32_t rc) {
  std::string text = std::string(operation) + "(";
  const char* separator = "";
  for (int32_t arg : args) {
    text += separator + std::to_string(arg);
    separator = ",";
  }
  return text + ")=" + std::to_string(rc);
}

}  // namespace

MemorySerial::MemorySerial(EventLoop& loop) : loop_(loop) {}

bool MemorySerial::Failing(const char* operation, int32_t port, int32_t& code) const {
  if (failures_.empty()) return false;
  auto it = failures_.find({operation, port});
  if (it == failures_.end()) return false;
  code = it->second;
  return true;
}

MemorySerial::Line* MemorySerial::OpenLine(int32_t port, int32_t& code) {
  if (port < 0 || port >= kSioPortCount) {
    code = kSioBadPort;
    return nullptr;
  }
  if (!lines_[port].open) {
    code = kSioNotOpen;
    return nullptr;
  }
  return &lines_[port];
}

// ---------------------------------------------------------------------------------------------
// The seven operations

int32_t MemorySerial::SioReset(int32_t port, int32_t rxQueueSize, int32_t txQueueSize) {
  int32_t rc = 0;
  if (Failing("SioReset", port, rc)) {
  } else if (port < 0 || port >= kSioPortCount) {
    rc = kSioBadPort;
  } else if (rxQueueSize <= 0 || rxQueueSize > kMaxSerialQueue || txQueueSize <= 0 ||
             txQueueSize > kMaxSerialQueue) {
    rc = kSioOutOfRange;
  } else {
    Line& line = lines_[port];
    bool owedTxRoom = line.open && line.txRoomWanted;
    // What left the transmit ring stays for TakeWritten; what waited in it is lost with the
    // closing, as on a real port.
    line.open = true;
    line.gone = false;
    line.openId = nextOpenId_++;
    line.rxSize = rxQueueSize;
    line.txSize = txQueueSize;
    line.rx.clear();
    line.heldBack.clear();
    line.tx.clear();
    line.txRoomWanted = false;
    line.parity = line.stopBits = line.dataBits = line.baudCode = -1;
    if (owedTxRoom) Post(port, false);
  }
  calls_.push_back(CallText("SioReset", {port, rxQueueSize, txQueueSize}, rc));
  return rc;
}

int32_t MemorySerial::SioParms(int32_t port, int32_t parity, int32_t stopBits, int32_t dataBits) {
  int32_t rc = 0;
  if (Failing("SioParms", port, rc)) {
  } else if (Line* line = OpenLine(port, rc); !line) {
  } else if (dataBits != 7 && dataBits != 8) {
    rc = kSioBadDataBits;
  } else if (parity < 0 || parity > 2 || stopBits < 0 || stopBits > 1) {
    rc = kSioOutOfRange;
  } else {
    line->parity = parity;
    line->stopBits = stopBits;
    line->dataBits = dataBits;
  }
  calls_.push_back(CallText("SioParms", {port, parity, stopBits, dataBits}, rc));
  return rc;
}

int32_t MemorySerial::SioBaud(int32_t port, int32_t baudCode) {
  int32_t rc = 0;
  if (Failing("SioBaud", port, rc)) {
  } else if (Line* line = OpenLine(port, rc); !line) {
  } else if (baudCode < 0 || baudCode > 9) {
    rc = kSioBadBaud;
  } else {
    line->baudCode = baudCode;
  }
  calls_.push_back(CallText("SioBaud", {port, baudCode}, rc));
  return rc;
}

int32_t MemorySerial::SioRxQue(int32_t port) {
  int32_t rc = 0;
  if (Failing("SioRxQue", port, rc)) return rc;
  Line* line = OpenLine(port, rc);
  return line ? static_cast<int32_t>(line->rx.size()) : rc;
}

int32_t MemorySerial::SioGets(int32_t port, char* buffer, int32_t maxCount) {
  int32_t rc = 0;
  if (Failing("SioGets", port, rc)) return rc;
  Line* line = OpenLine(port, rc);
  if (!line) return rc;
  if (maxCount < 0 || (maxCount > 0 && !buffer)) return kSioOutOfRange;
  size_t n = std::min(line->rx.size(), static_cast<size_t>(maxCount));
  if (n > 0) std::memcpy(buffer, line->rx.data(), n);
  line->rx.erase(0, n);
  TakeIn(port);
  return static_cast<int32_t>(n);
}

int32_t MemorySerial::SioPuts(int32_t port, const char* bytes, int32_t count) {
  int32_t rc = 0;
  if (Failing("SioPuts", port, rc)) return rc;
  Line* line = OpenLine(port, rc);
  if (!line) return rc;
  if (count < 0 || (count > 0 && !bytes)) return kSioOutOfRange;
  if (line->gone) return count;
  if (line->txCapacity == 0) {
    line->written.append(bytes, static_cast<size_t>(count));
    return count;
  }
  size_t room = line->txCapacity > line->tx.size() ? line->txCapacity - line->tx.size() : 0;
  size_t taken = std::min(room, static_cast<size_t>(count));
  line->tx.append(bytes, taken);
  if (taken < static_cast<size_t>(count)) line->txRoomWanted = true;
  return static_cast<int32_t>(taken);
}

int32_t MemorySerial::SioDone(int32_t port) {
  int32_t rc = 0;
  if (Failing("SioDone", port, rc)) {
  } else if (Line* line = OpenLine(port, rc); !line) {
  } else {
    line->open = false;
    line->gone = false;
    line->rx.clear();
    line->heldBack.clear();
    line->tx.clear();
    line->txRoomWanted = false;
  }
  calls_.push_back(CallText("SioDone", {port}, rc));
  return rc;
}

int32_t MemorySerial::SioTxFree(int32_t port) {
  int32_t rc = 0;
  if (Failing("SioTxFree", port, rc)) return rc;
  Line* line = OpenLine(port, rc);
  if (!line) return rc;
  if (line->txCapacity == 0) return line->txSize;
  return static_cast<int32_t>(line->txCapacity - std::min(line->txCapacity, line->tx.size()));
}

void MemorySerial::SetEvents(int32_t port, SerialEvents events) {
  if (port >= 0 && port < kSioPortCount) events_[port] = std::move(events);
}

// ---------------------------------------------------------------------------------------------
// The device's end

size_t MemorySerial::Feed(int32_t port, std::string_view bytes) {
  CheckPort(port);
  Line& line = lines_[port];
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
  Post(port, true);
}

size_t MemorySerial::HeldBack(int32_t port) const {
  CheckPort(port);
  return lines_[port].heldBack.size();
}

std::string MemorySerial::TakeWritten(int32_t port) {
  CheckPort(port);
  return std::exchange(lines_[port].written, std::string());
}

void MemorySerial::SetTxCapacity(int32_t port, size_t capacity) {
  CheckPort(port);
  Line& line = lines_[port];
  line.txCapacity = capacity;
  if (capacity == 0) DrainTx(port);  // an instant line holds nothing back
}

size_t MemorySerial::DrainTx(int32_t port, size_t maxBytes) {
  CheckPort(port);
  Line& line = lines_[port];
  size_t n = std::min(maxBytes, line.tx.size());
  line.written.append(line.tx, 0, n);
  line.tx.erase(0, n);
  bool room = line.txCapacity == 0 || line.tx.size() < line.txCapacity;
  if (line.open && line.txRoomWanted && room && (n > 0 || line.txCapacity == 0)) {
    line.txRoomWanted = false;
    Post(port, false);
  }
  return n;
}

size_t MemorySerial::TxQueued(int32_t port) const {
  CheckPort(port);
  return lines_[port].tx.size();
}

void MemorySerial::GoAway(int32_t port) {
  CheckPort(port);
  Line& line = lines_[port];
  if (!line.open) return;
  line.gone = true;
  line.heldBack.clear();
  line.tx.clear();
  if (line.txRoomWanted) {
    line.txRoomWanted = false;
    Post(port, false);
  }
}

void MemorySerial::Post(int32_t port, bool rxData) {
  std::weak_ptr<int> alive = alive_;
  uint64_t openId = lines_[port].openId;
  loop_.Post([this, alive, port, openId, rxData] {
    if (alive.expired() || !lines_[port].open || lines_[port].openId != openId) return;
    // A copy: the callback may replace the events of its own port.
    auto callback = rxData ? events_[port].OnRxData : events_[port].OnTxRoom;
    if (callback) callback();
  });
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

bool MemorySerial::IsOpen(int32_t port) const {
  CheckPort(port);
  return lines_[port].open;
}

int32_t MemorySerial::Parity(int32_t port) const {
  CheckPort(port);
  return lines_[port].parity;
}

int32_t MemorySerial::StopBits(int32_t port) const {
  CheckPort(port);
  return lines_[port].stopBits;
}

int32_t MemorySerial::DataBits(int32_t port) const {
  CheckPort(port);
  return lines_[port].dataBits;
}

int32_t MemorySerial::BaudCode(int32_t port) const {
  CheckPort(port);
  return lines_[port].baudCode;
}

int32_t MemorySerial::RxQueueSize(int32_t port) const {
  CheckPort(port);
  return lines_[port].rxSize;
}

int32_t MemorySerial::TxQueueSize(int32_t port) const {
  CheckPort(port);
  return lines_[port].txSize;
}

}  // namespace kov
