// The device list of the main window, the selection of a device, the read of
// its version and configuration, and the device-change notifications.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <cstring>

#include "app/Zor_FW_Main.h"
#include "app/Zor_IP_Input.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"
#include "platform/Zor_DeviceNotify.h"
#include "usb/Zor_UsbDevice.h"

namespace zor {

namespace {

constexpr const char *NetworkEntry = "Network";
constexpr const char *HostPrefix = "Host: ";
constexpr const char *IPPrefix = "IP: ";
constexpr int UsbPathRole = Qt::UserRole;
// The maker's MAC address block; the device adds the low 12 bits of its serial number.
constexpr const char *MacPrefix = "0050C2A5B";

std::string Str(const QString &text) { return text.toStdString(); }
QString Q(const std::string &text) { return QString::fromStdString(text); }

}  // namespace

// Marks the window busy while the engine works on its thread: the events it
// lets run meanwhile must neither rebuild the device list (which would free
// the device in use) nor select another device.
class TMainForm::TBusyScope {
 public:
  explicit TBusyScope(TMainForm &form) : FForm(form), FWasEnabled(form.gbSelectDevice->isEnabled()) {
    FForm.FRunning = true;
    FForm.gbSelectDevice->setEnabled(false);
  }
  ~TBusyScope() {
    FForm.FRunning = false;
    FForm.gbSelectDevice->setEnabled(FWasEnabled);
    FForm.RunDeferredList();
  }
  TBusyScope(const TBusyScope &) = delete;
  TBusyScope &operator=(const TBusyScope &) = delete;

 private:
  TMainForm &FForm;
  bool FWasEnabled;
};

void TMainForm::RunDeferredList() {
  if (!FListPending) return;
  // After the caller has finished, not inside it.
  QTimer::singleShot(0, this, [this] {
    if (FListPending && !FRunning) ListDevices();
  });
}

int TMainForm::AddEntry(const QString &text, const QString &usbPath) {
  PortNameComboBox->addItem(text, usbPath);
  return PortNameComboBox->count() - 1;
}

TZor_BaseDevice *TMainForm::UsbDeviceOfPath(const QString &path) {
  // Entries name their device by path: the enumeration may have been
  // renewed since the entry was made, and a pointer kept from then would dangle.
  if (path.isEmpty()) return nullptr;
  for (int i = 0; TZor_BaseDevice *d = FUpdater->GetUsbDevice(i); ++i)
    if (Q(d->GetDevicePath()) == path) return d;
  return nullptr;
}

// ---- device list ---------------------------------------------------------------------------------

void TMainForm::ListDevices() {
  if (FRunning) {
    FListPending = true;
    Log("TMainForm.ListDevices later: action running");
    return;
  }
  FListPending = false;
  ++FListDevicesCount;
  const QString previous = PortNameComboBox->currentText();
  const bool previousUsb = previous.startsWith("USB: ");
  std::string oldSerialUSB;
  if (TZor_BaseDevice *old = BaseDevice()) {
    Log("TMainForm.ListDevices selected=" + Str(previous) + " old=" + TZorFirmwareClass::DeviceDisplayName(old));
    if (auto *usb = dynamic_cast<TZor_UsbDevice *>(old)) {
      oldSerialUSB = usb->GetSerialNumberPart();
      Log("TMainForm.ListDevices oldSerialUSB=" + oldSerialUSB);
    } else {
      Log("TMainForm.ListDevices free old device");
    }
    FUpdater->SetBaseDevice(nullptr);
  } else {
    Log("TMainForm.ListDevices selected=" + Str(previous));
  }

  PortNameComboBox->clear();
  const int count = FUpdater->EnumUsbDevices();
  if (count == 0) Log("TMainForm.ListDevices no USB devices found");
  int selected = -1;
  int usbEntries = 0;
  int invalid = 0;
  std::string problems;
  for (int i = 0; i < count; ++i) {
    TZor_BaseDevice *device = FUpdater->GetUsbDevice(i);
    if (!device) continue;
    auto *usb = dynamic_cast<TZor_UsbDevice *>(device);
    const std::string name = usb ? usb->GetPortDisplayName() : TZorFirmwareClass::DeviceDisplayName(device);
    if (usb && !usb->IsValidUsbState()) {
      const std::string text = "USB state of Zor Device " + name + " is invalid.";
      LogError("TMainForm.ListDevices " + text);
      problems += text + "\r\n";
      ++invalid;
      continue;
    }
    const QString entry = Q("USB: " + name);
    const int index = AddEntry(entry, Q(device->GetDevicePath()));
    ++usbEntries;
    Log("TMainForm.ListDevices add " + name);
    if (selected < 0 && (previous.isEmpty() || entry == previous ||
                         (previousUsb && usb && !oldSerialUSB.empty() && usb->GetSerialNumberPart() == oldSerialUSB))) {
      selected = index;
      Log("TMainForm.ListDevices select " + Str(entry));
    }
  }
  if (selected < 0 && (previous.isEmpty() || previousUsb) && usbEntries > 0) {
    selected = 0;
    Log("TMainForm.ListDevices select first USB");
  }
  if (invalid > 0)
    AddMessage(problems + (invalid == 1 ? "Please re-power Zor Device and click Refresh button"
                                        : "Please re-power Zor Devices and click Refresh button"),
               mtErr);

  AddEntry(NetworkEntry);
  auto addNetwork = [&](const QString &entry, bool current) {
    const int index = AddEntry(entry);
    Log("TMainForm.ListDevices add " + Str(entry));
    if (entry == previous || (selected < 0 && current)) selected = index;
  };
  for (const QString &host : FHosts) addNetwork(HostPrefix + host, !FHost.empty() && Str(host) == FHost);
  for (const QString &ip : FIPs) addNetwork(IPPrefix + ip, FHost.empty() && !FIP.empty() && Str(ip) == FIP);
  if (selected < 0) {
    selected = 0;
    Log("TMainForm.ListDevices select Network");
  }
  PortNameComboBox->setCurrentIndex(selected);
  PortNameComboBox->setMaxVisibleItems(PortNameComboBox->count());
  Log("TMainForm.ListDevices -> PortNameComboBoxChange");
  SelectDevice();
  Log("TMainForm.ListDevices END");
}

void TMainForm::EnumerateBtnClick() { ListDevices(); }

void TMainForm::PortNameComboBoxChange() {
  Log("TMainForm.PortNameComboBoxChange -> SelectDevice");
  SelectDevice();
}

void TMainForm::PortNameComboBoxClick() {
  if (PortNameComboBox->count() != 1) return;
  Log("TMainForm.PortNameComboBoxClick -> PortNameComboBoxChange");
  PortNameComboBoxChange();
}

// ---- selection --------------------------------------------------------------------------------------

void TMainForm::RememberHost(const std::string &host, const std::string &ip) {
  if (!FHosts.contains(Q(host))) {
    FHosts << Q(host);
    AddEntry(Q(HostPrefix + host));
    Log("TMainForm.SelectDevice add Host=" + host);
  }
  FSettings.SetValue(host, ip);
}

void TMainForm::RememberIP(const std::string &ip) {
  if (FIPs.contains(Q(ip))) return;
  FIPs << Q(ip);
  AddEntry(Q(IPPrefix + ip));
  Log("TMainForm.SelectDevice add IP=" + ip);
}

void TMainForm::SetNetworkDevice() {
  TZor_BaseDevice *old = BaseDevice();
  if (old && old->GetDevType() == Zor_Remote)
    Log("TMainForm.SelectDevice free previous network device " + TZorFirmwareClass::DeviceDisplayName(old));
  if (FIP.empty()) {
    FUpdater->SetBaseDevice(nullptr);
    return;
  }
  // The engine owns it and keeps it alive until no action uses it any more.
  FUpdater->SetOwnedDevice(std::make_unique<TZor_NetworkDevice>(FLogId, 0, nullptr, true, FIP, FHost));
}

void TMainForm::SelectDevice() {
  if (FRunning) {
    Log("TMainForm.SelectDevice refused: action running");
    return;
  }
  const QString text = PortNameComboBox->currentText();
  Log("TMainForm.SelectDevice old=" + TZorFirmwareClass::DeviceDisplayName(BaseDevice()) + " new=" + Str(text));
  if (TZor_BaseDevice *usb = UsbDeviceOfPath(PortNameComboBox->currentData(UsbPathRole).toString())) {
    Log("TMainForm.SelectDevice usb=" + TZorFirmwareClass::DeviceDisplayName(usb));
    FUpdater->SetBaseDevice(usb);
  } else {
    if (text == NetworkEntry) {
      FIpInput->SetIpInput(FHost.empty() ? FIP : FHost);
      if (RunIpInput()) {
        FHost = FIpInput->GetDeviceHost();
        FIP = FIpInput->GetDeviceIP();
        QString entry;
        if (!FHost.empty()) {
          RememberHost(FHost, FIP);
          entry = Q(HostPrefix + FHost);
        } else {
          RememberIP(FIP);
          entry = Q(IPPrefix + FIP);
        }
        const int index = PortNameComboBox->findText(entry);
        PortNameComboBox->setCurrentIndex(index);
        Log("TMainForm.SelectDevice index=" + std::to_string(index) + " -> " + Str(entry));
      }
    } else if (text.startsWith(HostPrefix)) {
      FHost = Str(text.mid(int(std::strlen(HostPrefix))));
      Log("TMainForm.SelectDevice selected host=" + FHost + " old IP=" + FIP);
      FIP = FSettings.GetValue(FHost, "");
      Log("TMainForm.SelectDevice selected new IP=" + FIP);
    } else if (text.startsWith(IPPrefix)) {
      FHost.clear();
      FIP = Str(text.mid(int(std::strlen(IPPrefix))));
    }
    SetNetworkDevice();
  }
  FSelectedIndex = PortNameComboBox->currentIndex();
  FFlashVariablesOut.Clear();
  FCryptPassword.clear();
  UpdateReadConfigControls();
  Log("TMainForm.SelectDevice -> CheckNewDevice");
  CheckNewDevice();
}

// ---- version and configuration read ----------------------------------------------------------------

void TMainForm::ClearDeviceLabels() {
  for (QLabel *l : {LabelSerialNumber, LabelFirmware, LabelVersionIP, LabelHWString, LabelFPGAcode, LabelMAC})
    l->setText("-");
}

void TMainForm::ShowVersionLabels() {
  const uint32_t serial = FUpdater->GetVersionSerialNumber();
  LabelSerialNumber->setText(Q(IntToHex(serial, 8)));
  LabelHWString->setText(Q(FUpdater->GetVersionFeatureString()));
  LabelFirmware->setText(Q(FUpdater->GetFWVersionString()));
  LabelVersionIP->setText(Q(FUpdater->GetVersionIPString()));
  LabelFPGAcode->setText(Q(FUpdater->GetFPGAVersion()));
  if (BaseDevice() && BaseDevice()->GetPeerType() == ptColdfire)
    LabelMAC->setText(Q(std::string(MacPrefix) + IntToHex(serial & 0xFFF, 3)));
}

void TMainForm::EnableForDevice(bool enabled, bool bootloaderAllowed) {
  FDevicesChangedEnabled = enabled;
  FDevicesChangedPasswordEnabled = bootloaderAllowed;
  for (QGroupBox *g : {gbTest, gbChangeConfig, gbFile, gbUpdate}) g->setEnabled(enabled);
  if (!enabled) {
    LabelWarningRead->hide();
    ReadConfigBtn->hide();
    LabelWarningStart->hide();
  }
  for (QCheckBox *box : {cbUpdateFirmware, cbUpdateBootloader, cbSwitchFactory, cbReinstallInternalRAM,
                         cbUpdateConfiguration})
    box->setChecked(false);
  TZor_BaseDevice *device = BaseDevice();
  const bool esp = device && device->GetPeerType() == ptESP;
  cbSwitchFactory->setVisible(esp);
  cbUpdateBootloader->setVisible(!esp);
  cbUpdateBootloader->setEnabled(bootloaderAllowed && device && device->IsUSBDevice());
  cbUpdateConfiguration->setEnabled(false);
  FileNameComboBox->setEnabled(false);
  BrowseBtn->setEnabled(false);
  StartBtn->setEnabled(false);
  CancelBtn->setEnabled(false);
}

void TMainForm::UpdateReadConfigControls() {
  TZor_BaseDevice *device = BaseDevice();
  const bool esp = device && device->GetPeerType() == ptESP;
  const bool oldColdfire = device && !esp && !FUpdater->IsDeviceBootloader();
  const int firmware = FUpdater->GetFirmwareVersion();
  ReadConfigBtn->setVisible(FDevicesChangedEnabled && oldColdfire && firmware < 19);
  LabelWarningRead->setVisible(ReadConfigBtn->isVisibleTo(this));
  LabelWarningStart->setVisible(FDevicesChangedEnabled && oldColdfire && firmware < 45);
  if (esp) cbReinstallInternalRAM->hide();
  const bool configEnabled = FDevicesChangedEnabled && FFlashVariablesRead.updated;
  if (configEnabled != cbUpdateConfiguration->isEnabled()) {
    cbUpdateConfiguration->setChecked(false);
    cbUpdateConfiguration->setEnabled(configEnabled);
  }
}

void TMainForm::CheckNewDevice() {
  Log("TMainForm.CheckNewDevice clear display");
  ClearDeviceLabels();
  ClearConfigFields();
  FFlashVariablesRead.Clear();
  if (!BaseDevice()) {
    Log("TMainForm.CheckNewDevice no device");
    EnableForDevice(false, false);
    return;
  }
  const std::string entry = Str(PortNameComboBox->currentText());
  Log("TMainForm.CheckNewDevice Version und ggf. Flash einlesen von " + entry);
  const bool forceReadFlash = FFlashChanged && entry != FOldDevice;
  std::string err;
  int result = 0;
  {
    TBusyScope busy(*this);
    result = FUpdater->GetDeviceFirmwareVersionAndFlash(forceReadFlash, err);
  }
  if (result == fwr_OpenError) {
    Log("TMainForm.CheckNewDevice open failed -> no device");
    EnableForDevice(false, false);
    return;
  }
  if (result == fwr_HardwareFault) {
    LogError("TMainForm.CheckNewDevice read config failed");
    EnableForDevice(false, false);
    return;
  }
  FFlashVariablesRead = FUpdater->GetFlashVariables();
  EnableForDevice(true, FFlashVariablesRead.PasswordEnabled);
  TZor_BaseDevice *device = BaseDevice();
  const bool esp = device && device->GetPeerType() == ptESP;
  ShowFamilyGroups(esp);
  if (!FUpdater->GetVersionString().empty()) ShowVersionLabels();
  if (FFlashVariablesRead.updated) {
    Log("TMainForm.CheckNewDevice Flash eingelesen von " + entry);
    DisplayConfig();
  }
  UpdateReadConfigControls();
  cbUpdateConfiguration->setEnabled(FFlashVariablesRead.updated);
  if (result == fwr_WriteError) {
    const std::string text = "Can not write to device!\r\nPlease re-power Zor Device and click Refresh button";
    LogError("TMainForm.CheckNewDevice " + text);
    AddMessage(text, mtErr);
  } else {
    HandleMissingHardFeature("TMainForm.CheckNewDevice", result);
  }
  const bool fFeature = (FUpdater->GetVersionFeature() & 0x4000) != 0;
  LabelHWString->setText(Q((esp ? FFlashVariablesRead.GetHardFeatureESPString()
                                : FFlashVariablesRead.GetHardFeatureString()) +
                           (fFeature ? ", F" : "")));
}

void TMainForm::HandleMissingHardFeature(const std::string &logPrefix, int result) {
  if (FFlashVariablesRead.HardFeature != 0xFFFF) return;
  const uint16_t versionFeature = FUpdater->GetVersionFeature();
  if (versionFeature >= 1 && versionFeature <= 0x7FFF) {
    Log(logPrefix + " HardFeature aus Version übernehmen " + IntToHex(versionFeature, 4));
    FFlashVariablesRead.SetHardFeature(versionFeature);
    return;
  }
  const std::string before = result == fwr_ReferenceClockError ? ErrorText(result) + "\r\n" : std::string();
  if (FFlashVariablesRead.updated) {
    const std::string version = FUpdater->GetVersionString().empty() ? "unknown" : FUpdater->GetVersionString();
    const std::string text = before + "WARNING: Device Feature missing!\r\nDevice Version String: " + version;
    uint16_t feature = 0xFFFF;
    if (AskHardFeature(text, feature)) {
      Log(logPrefix + " HardFeature from user input " + IntToHex(feature, 4));
      FFlashVariablesRead.SetHardFeature(feature);
    } else {
      AddMessage(text + "\r\nPlease contact Zor", mtErrInfo);
    }
    return;
  }
  const bool esp = BaseDevice() && BaseDevice()->GetPeerType() == ptESP;
  AddMessage(before + "Unknown hardware configuration!" + (esp ? "" : "\r\nPlease read configuration from device."),
             mtErr);
  if (result == fwr_HardwareFault && FUpdater->GetZustandNachReset())
    AddMessage("Please retry: click refresh button", mtWarning);
}

void TMainForm::ReadConfigBtnClick() {
  Log("TMainForm.ReadConfigBtnClick");
  if (FRunning) return;
  if (FUpdater->CheckRemoteAccess() != 0) {
    AddMessage("Reading configuration via network not supported", mtErr);
    return;
  }
  ReadConfig();
}

void TMainForm::ReadConfig() {
  ClearConfigFields();
  int result = 0;
  {
    TBusyScope busy(*this);
    result = FUpdater->ReadConfig();
  }
  if (result != 0) return;
  FFlashVariablesRead = FUpdater->GetFlashVariables();
  const bool esp = BaseDevice() && BaseDevice()->GetPeerType() == ptESP;
  LabelHWString->setText(Q(esp ? FFlashVariablesRead.GetHardFeatureESPString()
                               : FFlashVariablesRead.GetHardFeatureString()));
  cbUpdateConfiguration->setEnabled(FFlashVariablesRead.updated);
  if (FFlashVariablesRead.updated) DisplayConfig();
  HandleMissingHardFeature("TMainForm.ReadConfig", result);
}

// ---- test panel (not shown) -----------------------------------------------------------------------------

void TMainForm::TestBtnClick() { DoTest(); }

void TMainForm::DoTest() {
  int whatToDo = 1;
  for (size_t i = 0; i < TestOption.size(); ++i)
    if (TestOption[i]->isChecked()) whatToDo = int(i) + 1;
  // "Read" and "Read(3)" take their address and length from the edit.
  const std::string option = whatToDo == 4 || whatToDo == 6 ? Str(TestEdit->text()) : std::string();
  Log("TMainForm.DoTest WhatToDo=" + std::to_string(whatToDo) + " option=" + option);
  int result = 0;
  {
    TBusyScope busy(*this);
    result = FUpdater->TestFunction(whatToDo, option);
  }
  if (result != 0) AddMessage("Test function failed: " + ErrorText(result), mtErrInfo);
  if (whatToDo != 1) ListDevices();
}

// ---- device-change notifications --------------------------------------------------------------------------

void TMainForm::DeviceChanged(int kind, const std::string &name) {
  using platform::TZor_DeviceChangeKind;
  switch (static_cast<TZor_DeviceChangeKind>(kind)) {
    case TZor_DeviceChangeKind::dcUsbAttached:
    case TZor_DeviceChangeKind::dcUsbDetached: {
      const bool attached = static_cast<TZor_DeviceChangeKind>(kind) == TZor_DeviceChangeKind::dcUsbAttached;
      Log(std::string("TMainForm.WMDeviceChange: device interface ") + (attached ? "attached" : "detached"));
      if (attached)
        FUpdater->UsbAttached(name);
      else
        FUpdater->UsbDetached(name);
      if (FRunning) {
        // The end of the action lists the devices anyway.
        FListPending = true;
        return;
      }
      Log("TMainForm.WMDeviceChange: enumerate again");
      ListDevices();
      break;
    }
    case TZor_DeviceChangeKind::dcPortAttached:
      Log("TMainForm.WMDeviceChange: device port attached");
      FUpdater->PortAttached(name);
      break;
    case TZor_DeviceChangeKind::dcPortDetached:
      Log("TMainForm.WMDeviceChange: device port detached");
      FUpdater->PortDetached(name);
      break;
  }
}

}  // namespace zor
