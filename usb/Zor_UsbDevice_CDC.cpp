// Placeholder until the CDC transport is built: opening fails.
#include "usb/Zor_UsbDevice.h"
#include "usb/Zor_UsbThread.h"

namespace zor {

uint32_t TZor_UsbDevice::GetDelayNextCmdMs() { return TZor_BaseDevice::GetDelayNextCmdMs(); }
void TZor_UsbDevice::SetDelayNextCmdMs(uint32_t ms) { TZor_BaseDevice::SetDelayNextCmdMs(ms); }
bool TZor_UsbDevice::ReadFHRData(TZor_CommandQueue *sender) { return TZor_BaseDevice::ReadFHRData(sender); }
bool TZor_UsbDevice::PeekAnsi(uint32_t count, std::string &bytes) { return TZor_BaseDevice::PeekAnsi(count, bytes); }
bool TZor_UsbDevice::PeekChar(uint8_t &value) { return TZor_BaseDevice::PeekChar(value); }
bool TZor_UsbDevice::PeekData(uint32_t count, std::string &text) { return TZor_BaseDevice::PeekData(count, text); }
bool TZor_UsbDevice::SetBufferSize(platform::TZor_SerialPort &) { return true; }
bool TZor_UsbDevice::SetTimeouts(platform::TZor_SerialPort &) { return true; }
void TZor_UsbDevice::SetDeviceResetted() { FDeviceResetted = true; }
void TZor_UsbDevice::SetReconnectFailed(bool, bool) {}
bool TZor_UsbDevice::CDCOpen(bool) { return false; }
bool TZor_UsbDevice::CDCClose(bool) { return true; }
bool TZor_UsbDevice::CDCWrite(const std::string &) { return false; }
bool TZor_UsbDevice::CDCRead(uint32_t count, std::string &text) { return TZor_BaseDevice::DeviceRead(count, text); }
bool TZor_UsbDevice::CDCCheckThreadEnd() { return true; }
bool TZor_UsbDevice::CDCToolsRead(uint32_t count, std::string &text) { return TZor_BaseDevice::ToolsRead(count, text); }
void TZor_UsbDevice::CDCFreeThread() { FUsbThread.reset(); }
void TZor_UsbDevice::RecoverFromUSBError() {}
bool TZor_UsbDevice::IsDevicePresent() { return false; }

}  // namespace zor
