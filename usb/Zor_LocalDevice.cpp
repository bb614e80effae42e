#include "usb/Zor_LocalDevice.h"

#include <exception>

#include "foundation/LogUnit.h"
#include "platform/Zor_UsbEnum.h"
#include "usb/USBUtils.h"
#include "usb/Zor_UsbDevice.h"

namespace zor {

namespace {

constexpr int cNoMultiId = -1;

std::unique_ptr<TZor_BaseDevice> NewUsbDevice(int aLogId, TZor_DeviceType devType, const std::string &node,
                                              const platform::TZor_UsbDeviceInfo &info) {
  return std::make_unique<TZor_UsbDevice>(
      aLogId, cNoMultiId, nullptr, false, devType,
      MakeUsbDevicePath(node, info.VendorID, info.ProductID, info.SerialNumber), info.VendorID,
      info.ProductID, info.SerialNumber, info.Product, info.Manufacturer);
}

// The HID device object of `openDevices` that has `path`, or nullptr.
const TZor_UsbDevice *OpenHidDevice(const std::vector<TZor_BaseDevice *> *openDevices,
                                    const std::string &path) {
  if (!openDevices) return nullptr;
  for (TZor_BaseDevice *device : *openDevices) {
    if (!device || device->GetDevType() != Zor_HID || device->GetDevicePath() != path) continue;
    if (const auto *usb = dynamic_cast<const TZor_UsbDevice *>(device)) return usb;
  }
  return nullptr;
}

// Runs one side of the combined enumeration; an exception counts as that
// side's failure with an empty list.
template <typename F>
TZor_LocalDeviceList EnumSide(int aLogId, const char *what, std::string &errorText, F enumerate) {
  try {
    return enumerate(errorText);
  } catch (const std::exception &e) {
    LogExcept(aLogId, std::string(what) + " failed", e);
    errorText = e.what();
    return {};
  }
}

}  // namespace

int IndexOfEqualItem(const TZor_LocalDeviceList &list, const TZor_BaseDevice *item) {
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i] && list[i]->IsEqual(item)) return static_cast<int>(i);
  return -1;
}

bool Contains(const TZor_LocalDeviceList &list, const TZor_BaseDevice *item) {
  return IndexOfEqualItem(list, item) >= 0;
}

TZor_LocalDeviceList ExtractOpenPortsList(TZor_LocalDeviceList &list) {
  TZor_LocalDeviceList open;
  for (size_t i = list.size(); i-- > 0;) {
    if (!list[i] || !list[i]->GetPortIsOpened()) continue;
    open.push_back(std::move(list[i]));
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return open;
}

TZor_LocalDeviceList Zor_EnumHIDDevices(int aLogId, std::string &errorText,
                                        const std::vector<TZor_BaseDevice *> *openDevices) {
  TZor_LocalDeviceList list;
  // A walk that fails still returns the simulated devices.
  for (const platform::TZor_UsbDeviceInfo &info : platform::EnumerateUsbDevices(errorText)) {
    // A device without a serial number cannot be found again after a reset.
    if (!IsHidDeviceId(info.VendorID, info.ProductID) || info.HidNodes.empty() || info.SerialNumber.empty())
      continue;
    const std::string &node = info.HidNodes.front();
    const std::string path = MakeUsbDevicePath(node, info.VendorID, info.ProductID, info.SerialNumber);
    if (const TZor_UsbDevice *open = OpenHidDevice(openDevices, path))
      list.push_back(std::make_unique<TZor_UsbDevice>(aLogId, cNoMultiId, nullptr, false, *open));
    else
      list.push_back(NewUsbDevice(aLogId, Zor_HID, node, info));
  }
  return list;
}

TZor_LocalDeviceList Zor_EnumCDCDevices(int aLogId, std::string &errorText) {
  TZor_LocalDeviceList list;
  for (const platform::TZor_UsbDeviceInfo &info : platform::EnumerateUsbDevices(errorText)) {
    const bool maker =
        IsColdfireCdcDeviceId(info.VendorID, info.ProductID) || IsEspDeviceId(info.VendorID, info.ProductID);
    if (maker && !info.TtyNodes.empty())
      list.push_back(NewUsbDevice(aLogId, Zor_CDC, info.TtyNodes.front(), info));
  }
  return list;
}

TZor_LocalDeviceList Zor_EnumUsbDevices(int aLogId, std::string &errorText,
                                        const std::vector<TZor_BaseDevice *> *openDevices) {
  std::string hidText, cdcText;
  TZor_LocalDeviceList list = EnumSide(aLogId, "Zor_EnumHIDDevices", hidText, [&](std::string &text) {
    return Zor_EnumHIDDevices(aLogId, text, openDevices);
  });
  TZor_LocalDeviceList cdc = EnumSide(aLogId, "Zor_EnumCDCDevices", cdcText,
                                      [&](std::string &text) { return Zor_EnumCDCDevices(aLogId, text); });
  if (!hidText.empty()) hidText = "HID: " + hidText;
  if (cdcText.empty())
    errorText = hidText;
  else if (hidText.empty())
    errorText = cdcText;
  else
    errorText = hidText + "; CDC: " + cdcText;
  for (std::unique_ptr<TZor_BaseDevice> &device : cdc) list.push_back(std::move(device));
  return list;
}

}  // namespace zor
