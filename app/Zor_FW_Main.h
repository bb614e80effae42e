// The main window: the device list and the selected device's version data,
// the firmware file and the actions, the configuration panel, the message
// list and the progress bar. It owns the one update engine and runs every
// action on its own thread; the engine lets Qt process events while it
// waits, so Cancel, progress and device-change notifications keep working.
//
// The implementation is split by topic:
//   Zor_FW_Main.cpp          start-up, settings, layout, menu, messages, progress, shutdown
//   Zor_FW_Main_Devices.cpp  device list, selection, version read, notifications
//   Zor_FW_Main_Config.cpp   configuration panel, edit marking, the record from the panel
//   Zor_FW_Main_Start.cpp    start of the actions and the checks before them
//
// Controls and fields keep the names the tool has always used, so log lines
// and the code read alike; they are public like the fields of a form, which
// lets the window tests drive the real widgets.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "firmware/Zor_FW_Class.h"
#include "foundation/App_Settings.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSocketNotifier;
class QWidget;

namespace zor {

namespace platform {
class TZor_DeviceMonitor;
}
class TFormIpInput;
class TZor_AppServicesQt;

struct TMainFormOptions {
  QString SettingsFile;  // empty: SettingsFilePath()
  QString DebugPath;     // empty: DebugDirectory()
  bool RefError = false; // show the reference-clock option
  bool WatchDevices = true;
};

// Fits a window into the nearest work area. Each change is appended to `log`
// as "Left old -> new" (or Top, Height).
QRect FitIntoWorkArea(QRect window, const QList<QRect> &workAreas, QStringList &log);

class TMainForm : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr const char *AppTitle = "Zor_FirmwareUpload";
  static constexpr const char *AppVersion = "5.0.10";
  static constexpr const char *AppDate = "2024-08-09";

  explicit TMainForm(const TMainFormOptions &options, QWidget *parent = nullptr);
  ~TMainForm() override;

  // Places the window and lists the devices; called once it is shown.
  void LosGehts();

  // ---- what the user sees as boxes, overridden by tests -----------------------------
  virtual void ShowErrorBox(const QString &text);
  virtual bool AskYesNo(const QString &text);
  virtual void ShowNotice(const QString &text);
  virtual bool AskLogin(std::string &login);
  // The IP input dialog; true for OK.
  virtual bool RunIpInput();
  // The hardware-feature dialog with `text`; true for OK with the choice.
  virtual bool AskHardFeature(const std::string &text, uint16_t &feature);
  // The file-open dialog; empty when cancelled.
  virtual QString AskFirmwareFile();

  // ---- handlers --------------------------------------------------------------------------
  void EnumerateBtnClick();
  void PortNameComboBoxChange();
  void PortNameComboBoxClick();
  void BrowseBtnClick();
  void CancelBtnClick();
  void ClearMessagesBtnClick();
  void ReadConfigBtnClick();
  void StartBtnClick();
  void TestBtnClick();
  void MenuClick(QAction *item);
  void AddMessage(const std::string &text, TMessageType level);
  void Progress(TProgressType kind, int64_t value, const std::string &unitText);
  void DeviceChanged(int kind, const std::string &name);

  // ---- state for callers and tests --------------------------------------------------------
  TZorFirmwareClass &Engine() { return *FUpdater; }
  TAppSettings &Settings() { return FSettings; }
  TFormIpInput *IpInput() { return FIpInput; }
  bool IsRunning() const { return FRunning; }
  // The device the engine works on (it may have replaced the selected one).
  TZor_BaseDevice *BaseDevice() const { return FUpdater->GetBaseDevice(); }
  int ListDevicesCount() const { return FListDevicesCount; }
  void SaveSettings();
  // The address of a simulated device of this run: listed, never saved.
  void AddSimulatedAddress(const std::string &ip);

  // ---- controls ---------------------------------------------------------------------------
  QGroupBox *gbSelectDevice = nullptr;
  QComboBox *PortNameComboBox = nullptr;
  QPushButton *EnumerateBtn = nullptr;
  QLabel *LabelSerialNumber = nullptr, *LabelFirmware = nullptr, *LabelVersionIP = nullptr,
         *LabelHWString = nullptr;
  QGroupBox *gbDeviceInfo = nullptr;
  QLabel *LabelFPGAcode = nullptr, *LabelMAC = nullptr;
  QGroupBox *gbTest = nullptr;
  std::vector<QRadioButton *> TestOption;
  QLineEdit *TestEdit = nullptr;
  QPushButton *TestBtn = nullptr;
  QGroupBox *gbFile = nullptr;
  QComboBox *FileNameComboBox = nullptr;
  QPushButton *BrowseBtn = nullptr;
  QCheckBox *cbUpdateFirmware = nullptr, *cbUpdateBootloader = nullptr, *cbSwitchFactory = nullptr,
            *cbReinstallInternalRAM = nullptr;
  QGroupBox *gbUpdate = nullptr;
  QLabel *LabelWarningStart = nullptr;
  QPushButton *StartBtn = nullptr, *CancelBtn = nullptr;
  QProgressBar *ProgressBar = nullptr;
  QLabel *LabelProgressMax = nullptr;
  QGroupBox *gbChangeConfig = nullptr;
  QCheckBox *cbUpdateConfiguration = nullptr;
  QPushButton *ReadConfigBtn = nullptr, *ShowConfigBtn = nullptr;
  QLabel *LabelWarningRead = nullptr;
  QGroupBox *gbMessages = nullptr;
  QListWidget *ListBox = nullptr;
  QPushButton *ClearMessagesBtn = nullptr;
  QAction *cmdExit = nullptr, *cmdShowConfig = nullptr, *cmdDebugLog = nullptr, *cmdDebugStream = nullptr,
          *cmdLowLevelLog = nullptr, *cmdAbout = nullptr;
  QAction *WindowsMenu = nullptr;

  // Configuration panel.
  QWidget *ConfigPanel = nullptr;
  QGroupBox *CFgbIP = nullptr, *ESPgbIP = nullptr, *gbCAN = nullptr, *CFgbNickName = nullptr,
            *ESPgbSerial = nullptr, *ESPgbHard = nullptr, *ESPgbPPI = nullptr;
  QLineEdit *CFIpAddressEdit = nullptr, *CFSubnetmaskEdit = nullptr, *CFGatewayEdit = nullptr;
  QLineEdit *HostNameEdit = nullptr;
  QRadioButton *RadioDHCP = nullptr, *RadioStatic = nullptr;
  QLabel *LabelESPIpAddress = nullptr, *LabelESPSubnetmask = nullptr, *LabelESPGateway = nullptr;
  QLineEdit *ESPIpAddressEdit = nullptr, *ESPSubnetmaskEdit = nullptr, *ESPGatewayEdit = nullptr;
  QLineEdit *CANRxIDEdit = nullptr, *CANTxIDEdit = nullptr;
  QCheckBox *cbCANRxExtended = nullptr, *cbCANTxExtended = nullptr;
  QLineEdit *NickNameEdit = nullptr;
  QLineEdit *BaudRateEdit = nullptr;
  QRadioButton *RadioHardDefault = nullptr, *RadioHardUser = nullptr;
  QLabel *LabelHardMode = nullptr, *LabelHardIntervall = nullptr, *LabelHardSpecial = nullptr;
  QComboBox *comboHardMode = nullptr, *comboHardIntervall = nullptr, *cbHard = nullptr;
  QCheckBox *cbPPIUser = nullptr;
  QLabel *LabelPPIInterval = nullptr, *LabelPPIoffset = nullptr;
  QComboBox *comboPPIInterval = nullptr;
  QLineEdit *PPIoffsetEdit = nullptr;
  // The address fields of the family shown.
  QLineEdit *IpAddressEdit = nullptr, *SubnetmaskEdit = nullptr, *GatewayEdit = nullptr;

  // ---- edit marking -----------------------------------------------------------------------
  static void SetEdited(QWidget *w, bool edited);
  static bool IsEdited(const QWidget *w);

  // Builds the configuration record from the marked items; the errors joined
  // with ", " and the first bad field (nullptr when all are fine).
  QWidget *GetConfig(std::string &errors, TZor_FlashVariables &record);

 protected:
  void closeEvent(QCloseEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;

 private:
  // Zor_FW_Main.cpp
  void CreateControls();
  void CreateMenu();
  void LoadSettings();
  void ApplyLogSwitch(QAction *item);
  void FillFileBox();
  std::string VersionLine() const;
  void Log(const std::string &text) const;
  void LogError(const std::string &text) const;
  void StartDeviceMonitor();

  // Zor_FW_Main_Devices.cpp
  void ListDevices();
  void SelectDevice();
  void CheckNewDevice();
  void ReadConfig();
  void DoTest();
  void ClearDeviceLabels();
  void ShowVersionLabels();
  void EnableForDevice(bool enabled, bool bootloaderAllowed);
  void UpdateReadConfigControls();
  // A missing hardware feature after a read: asks for it, or reports it.
  void HandleMissingHardFeature(const std::string &logPrefix, int result);
  void SetNetworkDevice();
  void RememberHost(const std::string &host, const std::string &ip);
  void RememberIP(const std::string &ip);
  int AddEntry(const QString &text, const QString &usbPath = QString());
  TZor_BaseDevice *UsbDeviceOfPath(const QString &path);
  // An engine call on the window's thread; notifications that arrive
  // meanwhile only mark the list for a rebuild once it is over.
  class TBusyScope;
  void RunDeferredList();

  // Zor_FW_Main_Config.cpp
  void CreateConfigPanel(QWidget *parent);
  void ClearConfigFields();
  void DisplayConfig();
  void DisplayUpdateConfigESP();
  void ShowFamilyGroups(bool esp);
  bool KeyFilter(QLineEdit *edit, QKeyEvent *key);
  void RestoreField(QLineEdit *edit);
  void RaioIPClick();
  void RadioHardClick();
  void CheckBoxCANClick(QCheckBox *box);
  void CheckBoxClick(QCheckBox *box);
  void ComboChange(QComboBox *combo);
  void DisableUI();
  void RestoreUI();
  int DoUpdate();
  int CheckLogin();
  bool ConfirmFirmwareFile(const std::string &fileName, TZor_FlashVariables &record);

 public:
  // ---- fields --------------------------------------------------------------------------------
  int FLogId = -1, FLogIdStream = -1, FLogIdStreamDbg = -1;
  QStringList FFileNames, FHosts, FIPs;
  std::string FHost, FIP;
  std::string FDebugPath, FExePath;
  TAppSettings FSettings;
  std::string FSettingsFile;
  bool FRunning = false;
  std::unique_ptr<TZorFirmwareClass> FUpdater;
  bool FFlashChanged = false;
  std::string FOldDevice;
  TZor_FlashVariables FFlashVariablesOut;
  TZor_FlashVariables FFlashVariablesRead;  // the configuration shown, as read
  std::string FCryptPassword;
  bool FDevicesChangedEnabled = false, FDevicesChangedPasswordEnabled = false;

 private:
  TMainFormOptions FOptions;
  std::unique_ptr<TZor_AppServicesQt> FServices;
  TFormIpInput *FIpInput = nullptr;  // child of the window
  std::unique_ptr<platform::TZor_DeviceMonitor> FMonitor;
  QSocketNotifier *FMonitorNotifier = nullptr;
  std::vector<std::pair<QWidget *, bool>> FSaveEnabled;
  bool FListPending = false;
  bool FClosed = false;
  int FListDevicesCount = 0;
  QPoint FPlacedPos;
  QStringList FSimulatedIPs;
  int FSelectedIndex = -1;  // the entry SelectDevice last took
};

}  // namespace zor
