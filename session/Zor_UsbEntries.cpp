#include "session/Zor_UsbEntries.h"

#include <algorithm>
#include <cctype>

#include "firmware/Uploader_Common.h"
#include "foundation/Zor_Utils.h"
#include "platform/Zor_UsbEnum.h"
#include "usb/USBUtils.h"

namespace zor::session {

namespace {

bool EqualNoCase(const std::string &a, const std::string &b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
  });
}

// Serial numbers are hex digits, typed in either case; a nick name is a
// name and must match as written.
bool Names(TZor_UsbDevice &device, const std::string &selector) {
  return device.GetSerialNumber() == selector || EqualNoCase(device.GetSerialNumberPart(), selector) ||
         (!device.GetNickName().empty() && device.GetNickName() == selector);
}

std::string Labels(const std::vector<TZor_UsbDevice *> &devices) {
  std::string text;
  for (TZor_UsbDevice *d : devices) text += (text.empty() ? "" : ", ") + UsbEntryLabel(DescribeUsbDevice(*d));
  return text;
}

std::vector<TZor_UsbDevice *> Pointers(const std::vector<std::unique_ptr<TZor_UsbDevice>> &devices) {
  std::vector<TZor_UsbDevice *> out;
  for (const auto &d : devices) out.push_back(d.get());
  return out;
}

const char *const cNoDevice = "no USB device of the maker attached (zorfw list shows what is attached)";

}  // namespace

TUsbEntry DescribeUsbDevice(TZor_UsbDevice &device) {
  TUsbEntry e;
  e.Kind = device.GetDevType() == Zor_HID ? "HID" : "virtual COM port";
  e.Family = device.GetPeerType() == ptESP ? "ESP" : "ColdFire";
  e.SerialNumber = platform::CleanDeviceString(device.GetSerialNumber());
  e.NickName = platform::CleanDeviceString(device.GetNickName());
  e.BootLoader = device.IsBootLoader();
  e.Node = platform::CleanDeviceString(DeviceNodeOfPath(device.GetDevicePath()));
  e.Product = platform::CleanDeviceString(device.GetProductString());
  e.Vid = device.GetVid();
  e.Pid = device.GetPid();
  return e;
}

std::string UsbEntryLabel(const TUsbEntry &e) { return e.SerialNumber + " (" + e.Kind + ", " + e.Node + ")"; }

std::vector<std::unique_ptr<TZor_UsbDevice>> EnumMakerUsbDevices(int logId, std::string &errorText) {
  std::vector<std::unique_ptr<TZor_UsbDevice>> out;
  for (auto &item : Zor_EnumUsbDevices(logId, errorText)) {
    auto *usb = dynamic_cast<TZor_UsbDevice *>(item.get());
    if (!usb) continue;
    item.release();
    out.emplace_back(usb);
  }
  return out;
}

int FindUsbDevice(const std::vector<std::unique_ptr<TZor_UsbDevice>> &devices, const std::string &selector,
                  std::string &error, int &failure) {
  failure = fwr_DeviceMissing;
  if (devices.empty()) {
    error = cNoDevice;
    return -1;
  }
  std::vector<TZor_UsbDevice *> named;
  for (const auto &d : devices)
    if (selector.empty() || Names(*d, selector)) named.push_back(d.get());
  if (named.size() == 1) {
    for (size_t i = 0; i < devices.size(); ++i)
      if (devices[i].get() == named.front()) return static_cast<int>(i);
  }
  if (named.empty()) {
    error = "no USB device usb:" + selector + " attached; attached: " + Labels(Pointers(devices));
    return -1;
  }
  failure = fwr_InvalidParameter;
  error = selector.empty() ? "several USB devices of the maker attached: " + Labels(named) +
                                 "; choose one with usb:SERIAL"
                           : "usb:" + selector + " names several devices: " + Labels(named) +
                                 "; choose one by its serial number";
  return -1;
}

}  // namespace zor::session
