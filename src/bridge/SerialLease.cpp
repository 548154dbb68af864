// A holder's hold on one serial port: every call goes to the library's checked operations under
// the lease's own holder id.
#include "bridge/SerialLease.h"

namespace kov {

SerialLease::SerialLease(SerialLibrary& library, int32_t port, uint64_t holder)
    : library_(library), libraryAlive_(library.alive_.Observe()), port_(port), holder_(holder) {}

SerialLease::~SerialLease() {
  if (SerialLibrary* library = Library()) library->Release(port_, holder_);
}

int32_t SerialLease::Open(const PortSetup& setup, SioStep* failed, bool quiet) {
  SerialLibrary* library = Library();
  if (!library) return kSioNotOpen;
  const SerialLibrary::Caller caller{holder_, quiet};
  SioStep step = SioStep::Reset;
  int32_t rc = library->Reset(port_, setup.rxQueueSize, setup.txQueueSize, caller);
  if (rc >= 0) {
    step = SioStep::Parms;
    rc = library->Parms(port_, setup.parity, setup.stopBits, setup.dataBits, caller);
  }
  if (rc >= 0) {
    step = SioStep::Baud;
    rc = library->Baud(port_, setup.baudCode, caller);
  }
  if (rc < 0 && failed) *failed = step;
  return rc;
}

bool SerialLease::IsOpen() {
  SerialLibrary* library = Library();
  return library && library->AdmitOpen(port_, {holder_, false}) == 0;
}

int32_t SerialLease::SioReset(int32_t rxQueueSize, int32_t txQueueSize) {
  SerialLibrary* library = Library();
  return library ? library->Reset(port_, rxQueueSize, txQueueSize, {holder_, false}) : kSioNotOpen;
}

int32_t SerialLease::SioParms(int32_t parity, int32_t stopBits, int32_t dataBits) {
  SerialLibrary* library = Library();
  return library ? library->Parms(port_, parity, stopBits, dataBits, {holder_, false})
                 : kSioNotOpen;
}

int32_t SerialLease::SioBaud(int32_t baudCode) {
  SerialLibrary* library = Library();
  return library ? library->Baud(port_, baudCode, {holder_, false}) : kSioNotOpen;
}

int32_t SerialLease::SioRxQue() {
  SerialLibrary* library = Library();
  return library ? library->RxQue(port_, {holder_, false}) : kSioNotOpen;
}

int32_t SerialLease::SioGets(char* buffer, int32_t maxCount) {
  SerialLibrary* library = Library();
  return library ? library->Gets(port_, buffer, maxCount, {holder_, false}) : kSioNotOpen;
}

int32_t SerialLease::SioPuts(const char* bytes, int32_t count) {
  SerialLibrary* library = Library();
  return library ? library->Puts(port_, bytes, count, {holder_, false}) : kSioNotOpen;
}

int32_t SerialLease::SioTxFree() {
  SerialLibrary* library = Library();
  return library ? library->TxFreeOf(port_, {holder_, false}) : kSioNotOpen;
}

int32_t SerialLease::SioDone() {
  SerialLibrary* library = Library();
  return library ? library->Done(port_, {holder_, false}) : kSioNotOpen;
}

void SerialLease::WantTxRoom() {
  if (SerialLibrary* library = Library()) library->WantTxRoom(port_, {holder_, false});
}

}  // namespace kov
