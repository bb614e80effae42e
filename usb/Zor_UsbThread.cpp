// Placeholder until the I/O thread is built: every thread fails to open.
#include "usb/Zor_UsbThread.h"

#include "usb/Zor_UsbDevice.h"

namespace zor {

TZor_UsbThread::TZor_UsbThread(TZor_UsbDevice *aOwner, bool isReconnected, bool createSuspended)
    : FOwner(aOwner), FisReconnected(isReconnected), FContextTool(createSuspended) {
  FTerminated = true;
  FExecuteFinished = true;
}
TZor_UsbThread::~TZor_UsbThread() = default;
int TZor_UsbThread::AddDevice(TZor_UsbDevice *) { return 0; }
int TZor_UsbThread::RemoveDevice(TZor_UsbDevice *) { return 0; }
bool TZor_UsbThread::HasDevice(TZor_UsbDevice *) { return false; }
TZor_UsbDevice *TZor_UsbThread::GetOwner() { return FOwner; }
void TZor_UsbThread::SetDeviceResetted() {}
void TZor_UsbThread::AddCommand(const std::string &, TZor_UsbDevice *) {}
void TZor_UsbThread::DeleteCommands(TZor_UsbDevice *) {}
uint32_t TZor_UsbThread::GetPendingCmdsCount() { return 0; }
void TZor_UsbThread::RequestHardFeature() {}
void TZor_UsbThread::Close() {}
void TZor_UsbThread::CloseUSB() {}
bool TZor_UsbThread::GetUSBOpened() { return false; }
void TZor_UsbThread::Terminate() { FTerminated = true; }
bool TZor_UsbThread::WaitFinished(uint32_t) { return true; }
std::string TZor_UsbThread::GetErrorMessage() { return FErrorMessage; }
bool TZor_UsbThread::Read() { return false; }
bool TZor_UsbThread::Write() { return false; }

std::shared_ptr<TZor_UsbThread> TZor_UsbThreadList::GetThread(TZor_UsbDevice *aDevice, bool isReconnected,
                                                              bool suspended) {
  return std::make_shared<TZor_UsbThread>(aDevice, isReconnected, suspended);
}
bool TZor_UsbThreadList::CheckThread(TZor_UsbDevice *) { return false; }
void TZor_UsbThreadList::RemoveThread(const std::shared_ptr<TZor_UsbThread> &) {}
bool TZor_UsbThreadList::IsEmpty() { return true; }

TZor_UsbThreadList &UsbThreadList() {
  static TZor_UsbThreadList list;
  return list;
}

}  // namespace zor
