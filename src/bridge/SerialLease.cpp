// A holder's hold on one serial port: every call goes to the library's checked operations under
// the lease's own holder id.
#include "bridge/SerialLease.h"

namespace kov {

SerialLease::SerialLease(SerialLibrary& library, int32_t port, uint64_t holder)
    : library_(library), libraryAlive_(library.alive_.Observe()), port_(port), holder_(holder) {}

SerialLease::~SerialLease() {
  if (SerialLibrary* library = Library()) library->Release(port_, holder_);
}

int32_t SerialLease::Open(const PortSetup& setup, OpenFailure* failure, OpenLog log) {
  SerialLibrary* library = Library();
  return library ? library->Open(port_, setup, {holder_, log}, failure) : kSioNotOpen;
}

bool SerialLease::IsOpen() {
  SerialLibrary* library = Library();
  return library && library->AdmitOpen(port_, {holder_}) == 0;
}

int32_t SerialLease::SioReset(int32_t rxQueueSize, int32_t txQueueSize) {
  SerialLibrary* library = Library();
  return library ? library->Open(port_, PortSetup{rxQueueSize, txQueueSize, LineSetting{}},
                                 {holder_}, nullptr)
                 : kSioNotOpen;
}

int32_t SerialLease::SioParms(int32_t parity, int32_t stopBits, int32_t dataBits) {
  SerialLibrary* library = Library();
  return library ? library->Parms(port_, parity, stopBits, dataBits, {holder_}) : kSioNotOpen;
}

int32_t SerialLease::SioBaud(int32_t baudCode) {
  SerialLibrary* library = Library();
  return library ? library->Baud(port_, baudCode, {holder_}) : kSioNotOpen;
}

int32_t SerialLease::SioRxQue() {
  SerialLibrary* library = Library();
  return library ? library->RxQue(port_, {holder_}) : kSioNotOpen;
}

int32_t SerialLease::SioGets(char* buffer, int32_t maxCount) {
  SerialLibrary* library = Library();
  return library ? library->Gets(port_, buffer, maxCount, {holder_}) : kSioNotOpen;
}

int32_t SerialLease::SioPuts(const char* bytes, int32_t count) {
  SerialLibrary* library = Library();
  return library ? library->Puts(port_, bytes, count, {holder_}) : kSioNotOpen;
}

int32_t SerialLease::SioTxFree() {
  SerialLibrary* library = Library();
  return library ? library->TxFreeOf(port_, {holder_}) : kSioNotOpen;
}

int32_t SerialLease::SioDone() {
  SerialLibrary* library = Library();
  return library ? library->Done(port_, {holder_}) : kSioNotOpen;
}

void SerialLease::WantTxRoom() {
  if (SerialLibrary* library = Library()) library->WantTxRoom(port_, {holder_});
}

LineSetting SerialLease::Line() {
  SerialLibrary* library = Library();
  LineSetting line;
  bool breakOn = false;
  if (library) library->LineOf(port_, {holder_}, line, breakOn);
  return line;
}

int32_t SerialLease::SetLine(const LineSetting& wanted) {
  SerialLibrary* library = Library();
  return library ? library->SetWholeLine(port_, wanted, {holder_}) : kSioNotOpen;
}

int32_t SerialLease::SetSignal(ModemSignal signal, bool on) {
  SerialLibrary* library = Library();
  return library ? library->Signal(port_, signal, on, {holder_}) : kSioNotOpen;
}

bool SerialLease::Signal(ModemSignal signal) {
  SerialLibrary* library = Library();
  LineSetting line;
  bool breakOn = false;
  if (!library || library->LineOf(port_, {holder_}, line, breakOn) < 0) return false;
  switch (signal) {
    case ModemSignal::Dtr:
      return line.dtr;
    case ModemSignal::Rts:
      return line.rts;
    case ModemSignal::Break:
      return breakOn;
  }
  return false;
}

int32_t SerialLease::Purge(bool receive, bool transmit) {
  SerialLibrary* library = Library();
  return library ? library->PurgeRings(port_, receive, transmit, {holder_}) : kSioNotOpen;
}

ModemStatus SerialLease::ModemLines() {
  SerialLibrary* library = Library();
  ModemStatus status;
  if (library) library->ModemLinesOf(port_, {holder_}, status);
  return status;
}

}  // namespace kov
