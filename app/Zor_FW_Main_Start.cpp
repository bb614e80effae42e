// The start of the actions: the checks before anything reaches the device,
// the configuration write, the firmware update or partition switch, and the
// window's state during and after them.
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>

#include "app/Zor_FW_Main.h"
#include "app/Zor_IP_Input.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

std::string Str(const QString &text) { return text.toStdString(); }
QString Q(const std::string &text) { return QString::fromStdString(text); }

void MoveToFront(QStringList &list, const std::string &item) {
  list.removeAll(Q(item));
  list.prepend(Q(item));
}

}  // namespace

void TMainForm::DisableUI() {
  Log("TMainForm.DisableUI");
  FSaveEnabled.clear();
  for (QWidget *w : std::initializer_list<QWidget *>{gbSelectDevice, gbTest, gbChangeConfig, gbFile, StartBtn,
                                                     CancelBtn})
    FSaveEnabled.emplace_back(w, w->isEnabled());
  for (QWidget *w : std::initializer_list<QWidget *>{gbSelectDevice, gbTest, gbChangeConfig, gbFile, StartBtn})
    w->setEnabled(false);
  CancelBtn->setEnabled(true);
}

void TMainForm::RestoreUI() {
  for (const auto &[w, enabled] : FSaveEnabled) w->setEnabled(enabled);
  FSaveEnabled.clear();
}

int TMainForm::CheckLogin() {
  if (FUpdater->CheckLogin()) {
    Log("TMainForm.CheckLogin: LoginNeeded");
    std::string login;
    if (FCryptPassword.empty() && AskLogin(login)) FCryptPassword = login;
    if (FCryptPassword.empty()) {
      AddMessage("Password missing", mtErr);
      return fwr_InvalidParameter;
    }
  } else {
    FCryptPassword.clear();
  }
  FUpdater->SetCryptPassword(FCryptPassword);
  return 0;
}

void TMainForm::StartBtnClick() {
  Log("TMainForm.StartBtnClick");
  if (FRunning) {
    // A click that came through while the engine let events run.
    Log("TMainForm.StartBtnClick refused: action running");
    return;
  }
  FFlashChanged = false;
  FRunning = true;
  TZor_OnExit done([this] {
    RestoreUI();
    FRunning = false;
  });
  try {
    std::string errors;
    TZor_FlashVariables record;
    QWidget *bad = GetConfig(errors, record);
    const bool esp = BaseDevice() && BaseDevice()->GetPeerType() == ptESP;
    if (cbUpdateConfiguration->isChecked()) {
      if (!errors.empty()) {
        AddMessage(errors, mtErr);
        if (bad) bad->setFocus();
        return;
      }
      if (esp && record.NickName.empty()) {
        AddMessage("Host name missing", mtErr);
        return;
      }
      if (!esp && record.NickName.empty() && !AskYesNo("Do you really want to clear the nickname?")) return;
    }
    if ((cbUpdateFirmware->isChecked() && !cbSwitchFactory->isChecked()) || cbUpdateBootloader->isChecked()) {
      const std::string name = Str(FileNameComboBox->currentText());
      if (!QFileInfo(Q(name)).isFile()) {
        AddMessage("File " + name + " not found", mtErr);
        FileNameComboBox->setFocus();
        return;
      }
      Log("TMainForm.StartBtnClick Filename=" + name);
      if (!ConfirmFirmwareFile(name, record)) return;
    }
    if (FUpdater->CheckRemoteAccess() != 0) {
      AddMessage("Action via network not supported", mtErr);
      return;
    }
    if (CheckLogin() != 0) return;
    if (cbUpdateConfiguration->isChecked()) FFlashVariablesOut = record;

    Log("TMainForm.StartBtnClick -> DisableUI");
    DisableUI();
    Log("TMainForm.StartBtnClick -> DoUpdate");
    TZor_BaseDevice *before = BaseDevice();
    const std::string beforeName = TZorFirmwareClass::DeviceDisplayName(before);
    const int result = DoUpdate();
    // A USB device that came back from its reset is a new object, which the
    // engine holds; the window always asks the engine for it.
    if (BaseDevice() != before)
      Log("TMainForm.StartBtnClick BaseDevice changed: old=" + beforeName +
          " new=" + TZorFirmwareClass::DeviceDisplayName(BaseDevice()));
    RestoreUI();
    CancelBtn->setEnabled(false);
    FRunning = false;
    if (result != fwr_FlashUnchanged) {
      Log("TMainForm.StartBtnClick enumerate again");
      Log("TMainForm.StartBtnClick -> ListDevices");
      ListDevices();
    }
  } catch (const std::exception &e) {
    LogExcept(FLogId, "TMainForm.StartBtnClick", e);
    AddMessage(std::string("Unexpected error: ") + e.what(), mtErr);
  }
  for (QCheckBox *box : {cbUpdateConfiguration, cbUpdateFirmware, cbUpdateBootloader, cbReinstallInternalRAM})
    box->setChecked(false);
  StartBtn->setEnabled(false);
  FileNameComboBox->setEnabled(false);
  BrowseBtn->setEnabled(false);
  RunDeferredList();
  Log("TMainForm.StartBtnClick END");
}

bool TMainForm::ConfirmFirmwareFile(const std::string &, TZor_FlashVariables &) { return true; }

int TMainForm::DoUpdate() {
  const std::string entry = Str(PortNameComboBox->currentText());
  const bool firmware = cbUpdateFirmware->isChecked() || cbUpdateBootloader->isChecked();
  int result = 0;
  if (cbUpdateConfiguration->isChecked() || (FFlashVariablesOut.updated && FFlashVariablesOut.ChangedFlags != 0)) {
    Log("TMainForm.DoUpdate SetFlashVariables");
    const bool network = BaseDevice() && BaseDevice()->GetDevType() == Zor_Remote;
    result = FUpdater->SetFlashVariables(FFlashVariablesOut, !firmware);
    std::string text;
    if (result == fwr_NoError) {
      text = "Firmware configuration set";
      if (network) {
        const std::string newHost = FUpdater->GetFlashNewHost();
        const std::string newIP = FUpdater->GetFlashNewIP();
        Log("TMainForm.DoUpdate remote newHost=" + newHost + ", newIP=" + newIP + ", selected=" + entry);
        if (!newHost.empty() || !newIP.empty()) {
          if (!FHost.empty()) {
            Log("TMainForm.DoUpdate remote delete setting " + FHost);
            FSettings.SetValue(FHost, "");
          }
          Log("TMainForm.DoUpdate remote -> Auswahlbox löschen");
          PortNameComboBox->clear();
          if (!newHost.empty()) {
            // The old name is gone from the device; its entry would lead nowhere.
            if (!FHost.empty() && FHost != newHost) FHosts.removeAll(Q(FHost));
            FHost = newHost;
            FIpInput->SetIpInput(FHost);
            MoveToFront(FHosts, FHost);
          }
          if (!newIP.empty()) {
            FIP = newIP;
            FHost = newHost;
            FIpInput->SetIpInput(FIP);
            MoveToFront(FIPs, FIP);
          }
          // A new name without a new address keeps the address it had, so
          // its entry still leads to the device.
          if (!FHost.empty()) {
            Log("TMainForm.DoUpdate remote new setting " + FHost + "=" + FIP);
            FSettings.SetValue(FHost, FIP);
          }
        }
      }
      FFlashChanged = true;
      FOldDevice = entry;
    } else if (result == fwr_FlashUnchanged) {
      text = "Firmware configuration already set; remain unchanged";
    } else if (result == fwr_NoReset) {
      AddMessage("Device reset failed. Please re-power Zor device and then click ok.", mtErr);
      return result;
    } else {
      AddMessage("Error during setting firmware configuration: " + ErrorText(result), mtErrInfo);
    }
    if (!text.empty()) AddMessage(text, mtOk);
  }
  if (firmware) {
    if (cbSwitchFactory->isChecked()) {
      result = FUpdater->SwitchFactoryPartition();
    } else {
      const std::string name = Str(FileNameComboBox->currentText());
      MoveToFront(FFileNames, name);
      FillFileBox();
      Log("TMainForm.DoUpdate FirmwareUpdate File=" + name);
      result = FUpdater->DoUpdate(name, cbUpdateBootloader->isChecked(), FUpdater->GetFlashVariables().SerialNumber);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (result == fwr_NoError) {
      FFlashChanged = true;
      FOldDevice = entry;
      Log("TMainForm.DoUpdate Firmware update was successful");
      AddMessage("Firmware update was successful", mtOk);
    } else if (result == fwr_RePowerNeeded) {
      const std::string text = "Bootloader updated!\r\nPlease first repower device and then click ok.";
      Log("TMainForm.DoUpdate Bootloader updated! Please first repower device and then click ok.");
      ShowNotice(Q(text));
    } else {
      AddMessage("Error during firmware update: " + ErrorText(result), mtErrInfo);
    }
  }
  if (cbReinstallInternalRAM->isChecked()) result = FUpdater->DoCopyFlashToRAM();
  return result;
}

}  // namespace zor
