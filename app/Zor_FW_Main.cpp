// Start-up and shutdown of the main window, its settings, layout and menu,
// the message list and the progress bar.
#include "app/Zor_FW_Main.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

#include "app/AboutForm.h"
#include "app/AppPaths.h"
#include "app/HardFeatureForm.h"
#include "app/LoginForm.h"
#include "app/Zor_AppServicesQt.h"
#include "app/Zor_IP_Input.h"
#include "foundation/LogUnit.h"
#include "net/NetUtils.h"
#include "platform/Zor_Icmp.h"
#include "platform/Zor_DeviceNotify.h"

namespace zor {

namespace {

std::string Str(const QString &text) { return text.toStdString(); }

// Replaces line breaks by blanks, for one log line.
std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\r', ' ');
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

}  // namespace

QRect FitIntoWorkArea(QRect window, const QList<QRect> &workAreas, QStringList &log) {
  if (workAreas.isEmpty()) return window;
  // The nearest area: the one that holds the most of the window, else the
  // one whose centre is closest.
  QRect area = workAreas.front();
  int64_t best = -1;
  for (const QRect &a : workAreas) {
    const QRect common = a.intersected(window);
    const int64_t overlap = common.isValid() ? int64_t(common.width()) * common.height() : 0;
    const QPoint d = a.center() - window.center();
    // Overlap dominates; among areas without overlap, distance decides.
    const int64_t score = overlap > 0 ? overlap + (int64_t(1) << 40)
                                      : (int64_t(1) << 40) - 1 - (int64_t(d.x()) * d.x() + int64_t(d.y()) * d.y()) / 4;
    if (score > best) {
      best = score;
      area = a;
    }
  }
  auto note = [&log](const char *what, int from, int to) {
    log << QString(": %1 %2 -> %3").arg(what).arg(from).arg(to);
  };
  if (window.left() < area.left() || window.left() > area.right()) {
    note("Left", window.left(), area.left());
    window.moveLeft(area.left());
  }
  if (window.top() < area.top() || window.top() > area.bottom()) {
    note("Top", window.top(), area.top());
    window.moveTop(area.top());
  }
  if (window.height() > area.height()) {
    note("Height", window.height(), area.height());
    window.setHeight(area.height());
  }
  if (window.bottom() > area.bottom()) {
    note("Top", window.top(), area.top());
    window.moveTop(area.top());
  }
  return window;
}

TMainForm::TMainForm(const TMainFormOptions &options, QWidget *parent) : QMainWindow(parent), FOptions(options) {
  setObjectName("MainForm");
  // Three loggers in this order: the stream logs take the debug log's id + 1 and + 2.
  FLogId = CreateLog();
  FLogIdStream = CreateLog();
  FLogIdStreamDbg = CreateLog();
  for (int id : {FLogId, FLogIdStream, FLogIdStreamDbg}) SetLogLimit(id, logCreateNew, 0);

  setWindowTitle(QString("%1  - %2 %3").arg(AppTitle, AppVersion, AppDate));
  FExePath = Str(QCoreApplication::applicationDirPath()) + "/";
  FDebugPath = Str(options.DebugPath.isEmpty() ? DebugDirectory() : options.DebugPath);
  if (!FDebugPath.empty() && FDebugPath.back() != '/') FDebugPath += '/';
  QDir().mkpath(QString::fromStdString(FDebugPath));
  FSettingsFile = Str(options.SettingsFile.isEmpty() ? SettingsFilePath() : options.SettingsFile);

  CreateControls();
  CreateMenu();

  FUpdater = std::make_unique<TZorFirmwareClass>(FLogId);
  FUpdater->SetOnMessage([this](void *, const std::string &text, TMessageType level) { AddMessage(text, level); });
  FUpdater->SetOnProgress([this](void *, TProgressType kind, int64_t value, const std::string &unit) {
    Progress(kind, value, unit);
  });
  FServices = std::make_unique<TZor_AppServicesQt>(*this, FLogId);
  FUpdater->SetAppServices(FServices.get());

  FIpInput = new TFormIpInput(this);
  FIpInput->SetLogId(FLogId);

  LoadSettings();
  if (options.WatchDevices) StartDeviceMonitor();
  EnableForDevice(false, false);
}

TMainForm::~TMainForm() {
  Log("TMainForm.FormDestroy");
  delete FMonitorNotifier;
  FMonitorNotifier = nullptr;
  FMonitor.reset();
  if (FUpdater) FUpdater->SetAppServices(nullptr);
  FUpdater.reset();
  Log("TMainForm.FormDestroy END");
}

void TMainForm::Log(const std::string &text) const { LogText(FLogId, text); }
void TMainForm::LogError(const std::string &text) const { LogErr(FLogId, text); }

std::string TMainForm::VersionLine() const {
  return Str(QCoreApplication::applicationFilePath()) + " Version: " + AppVersion + " Date: " + AppDate;
}

// ---- layout -----------------------------------------------------------------------------------

void TMainForm::CreateControls() {
  auto *central = new QWidget(this);
  auto *main = new QVBoxLayout(central);
  setCentralWidget(central);

  gbSelectDevice = new QGroupBox(" Select USB Device, IP address or LUM2 host name: ", central);
  auto *sel = new QGridLayout(gbSelectDevice);
  PortNameComboBox = new QComboBox(gbSelectDevice);
  PortNameComboBox->setObjectName("PortNameComboBox");
  PortNameComboBox->setToolTip("List of connected Zor USB devices");
  EnumerateBtn = new QPushButton("Refresh", gbSelectDevice);
  EnumerateBtn->setToolTip("Updates list of connected Zor USB devices");
  sel->addWidget(PortNameComboBox, 0, 0, 1, 3);
  sel->addWidget(EnumerateBtn, 0, 3);
  auto addInfo = [&](int row, int col, const char *caption, QLabel *&label, const char *name) {
    sel->addWidget(new QLabel(caption, gbSelectDevice), row, col);
    label = new QLabel("-", gbSelectDevice);
    label->setObjectName(name);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    sel->addWidget(label, row, col + 1);
  };
  addInfo(1, 0, "Serial number:", LabelSerialNumber, "LabelSerialNumber");
  addInfo(1, 2, "Firmware:", LabelFirmware, "LabelFirmware");
  addInfo(2, 0, "IP address:", LabelVersionIP, "LabelVersionIP");
  addInfo(2, 2, "Hardware:", LabelHWString, "LabelHWString");
  main->addWidget(gbSelectDevice);

  gbDeviceInfo = new QGroupBox(" Information", central);
  auto *info = new QGridLayout(gbDeviceInfo);
  info->addWidget(new QLabel("FPGA code:", gbDeviceInfo), 0, 0);
  LabelFPGAcode = new QLabel("-", gbDeviceInfo);
  info->addWidget(LabelFPGAcode, 0, 1);
  info->addWidget(new QLabel("MAC Address:", gbDeviceInfo), 0, 2);
  LabelMAC = new QLabel("-", gbDeviceInfo);
  info->addWidget(LabelMAC, 0, 3);
  main->addWidget(gbDeviceInfo);

  gbTest = new QGroupBox("Test", central);
  auto *test = new QHBoxLayout(gbTest);
  for (const char *t : {"ReadUser", "Reset", "Stop", "Read", "Bootloader (nur USB)", "Read(3)"}) {
    TestOption.push_back(new QRadioButton(t, gbTest));
    test->addWidget(TestOption.back());
  }
  TestOption.front()->setChecked(true);
  TestEdit = new QLineEdit("$0007F000 $42", gbTest);
  TestBtn = new QPushButton("Test", gbTest);
  test->addWidget(TestEdit);
  test->addWidget(TestBtn);
  main->addWidget(gbTest);

  gbFile = new QGroupBox(" Firmware: ", central);
  auto *file = new QGridLayout(gbFile);
  FileNameComboBox = new QComboBox(gbFile);
  FileNameComboBox->setEditable(true);
  FileNameComboBox->setToolTip("Firmware file - must be type S19");
  BrowseBtn = new QPushButton("Browse", gbFile);
  BrowseBtn->setToolTip("Shows file open dialog to select a firmware file");
  cbUpdateFirmware = new QCheckBox("Update Firmware", gbFile);
  cbUpdateFirmware->setObjectName("cbUpdateFirmware");
  cbUpdateFirmware->setToolTip("Transmit firmware file to Zor device when start button is clicked");
  cbUpdateBootloader = new QCheckBox("Update Bootloader (via USB only)", gbFile);
  cbUpdateBootloader->setObjectName("cbUpdateBootloader");
  cbSwitchFactory = new QCheckBox("Switchback to Factory", gbFile);
  cbSwitchFactory->setObjectName("cbSwitchFactory");
  cbReinstallInternalRAM = new QCheckBox("Reinstall Internal RAM", gbFile);
  cbReinstallInternalRAM->setObjectName("cbReinstallInternalRAM");
  file->addWidget(FileNameComboBox, 0, 0, 1, 3);
  file->addWidget(BrowseBtn, 0, 3);
  file->addWidget(cbUpdateFirmware, 1, 0);
  file->addWidget(cbUpdateBootloader, 1, 1);
  file->addWidget(cbSwitchFactory, 1, 2);
  file->addWidget(cbReinstallInternalRAM, 1, 3);
  main->addWidget(gbFile);

  gbUpdate = new QGroupBox(central);
  auto *upd = new QGridLayout(gbUpdate);
  LabelWarningStart = new QLabel(
      "Clicking start button can cause unpredictable errors, if any other application is connected to Zor device!",
      gbUpdate);
  LabelWarningStart->setWordWrap(true);
  StartBtn = new QPushButton("Start Update", gbUpdate);
  StartBtn->setToolTip("Execute the selected actions: update configuration, update firmware");
  CancelBtn = new QPushButton("Cancel", gbUpdate);
  CancelBtn->setToolTip("Cancel update");
  ProgressBar = new QProgressBar(gbUpdate);
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  LabelProgressMax = new QLabel(gbUpdate);
  upd->addWidget(LabelWarningStart, 0, 0, 1, 4);
  upd->addWidget(StartBtn, 1, 0);
  upd->addWidget(CancelBtn, 1, 1);
  upd->addWidget(ProgressBar, 1, 2);
  upd->addWidget(LabelProgressMax, 1, 3);
  main->addWidget(gbUpdate);

  gbChangeConfig = new QGroupBox(central);
  auto *cfg = new QVBoxLayout(gbChangeConfig);
  auto *cfgTop = new QHBoxLayout();
  cbUpdateConfiguration = new QCheckBox("Update Configuration", gbChangeConfig);
  cbUpdateConfiguration->setObjectName("cbUpdateConfiguration");
  cbUpdateConfiguration->setToolTip("Transmit changed configuration to Zor device when start button is clicked");
  ReadConfigBtn = new QPushButton("Read Configuration from device", gbChangeConfig);
  LabelWarningRead =
      new QLabel("Reading configuration interrupts transfer of measurement data to any connected application!",
                 gbChangeConfig);
  LabelWarningRead->setWordWrap(true);
  ShowConfigBtn = new QPushButton("Show Configuration", gbChangeConfig);
  cfgTop->addWidget(cbUpdateConfiguration);
  cfgTop->addWidget(ReadConfigBtn);
  cfgTop->addWidget(ShowConfigBtn);
  cfg->addLayout(cfgTop);
  cfg->addWidget(LabelWarningRead);
  CreateConfigPanel(gbChangeConfig);
  cfg->addWidget(ConfigPanel);
  main->addWidget(gbChangeConfig);

  gbMessages = new QGroupBox("Messages", central);
  auto *msg = new QVBoxLayout(gbMessages);
  ListBox = new QListWidget(gbMessages);
  ListBox->setObjectName("ListBox");
  ListBox->setStyleSheet("QListWidget { background: white; }");
  ClearMessagesBtn = new QPushButton("Clear", gbMessages);
  msg->addWidget(ListBox);
  msg->addWidget(ClearMessagesBtn, 0, Qt::AlignRight);
  main->addWidget(gbMessages, 1);

  // Parts the tool keeps but does not show.
  ReadConfigBtn->hide();
  LabelWarningRead->hide();
  gbTest->hide();
  LabelWarningStart->hide();
  gbDeviceInfo->hide();
  ShowConfigBtn->hide();
  cbReinstallInternalRAM->hide();
  gbChangeConfig->setTitle("Configuration:");
  // The reference-clock option only for those who ask for it.
  LabelHardSpecial->setVisible(FOptions.RefError);
  cbHard->setVisible(FOptions.RefError);

  connect(EnumerateBtn, &QPushButton::clicked, this, [this] { EnumerateBtnClick(); });
  // A choice in the box: another entry selects it; with a single entry
  // every click does, so "Network" alone asks for an address again.
  connect(PortNameComboBox, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
    if (PortNameComboBox->count() == 1)
      PortNameComboBoxClick();
    else if (index != FSelectedIndex)
      PortNameComboBoxChange();
  });
  connect(TestBtn, &QPushButton::clicked, this, [this] { TestBtnClick(); });
  connect(BrowseBtn, &QPushButton::clicked, this, [this] { BrowseBtnClick(); });
  connect(CancelBtn, &QPushButton::clicked, this, [this] { CancelBtnClick(); });
  connect(ClearMessagesBtn, &QPushButton::clicked, this, [this] { ClearMessagesBtnClick(); });
  connect(ReadConfigBtn, &QPushButton::clicked, this, [this] { ReadConfigBtnClick(); });
  connect(StartBtn, &QPushButton::clicked, this, [this] { StartBtnClick(); });
  for (QCheckBox *box : {cbUpdateFirmware, cbUpdateBootloader, cbSwitchFactory, cbReinstallInternalRAM,
                         cbUpdateConfiguration})
    connect(box, &QCheckBox::clicked, this, [this, box] { CheckBoxClick(box); });
}

void TMainForm::CreateMenu() {
  QMenu *fileMenu = menuBar()->addMenu("File");
  cmdExit = fileMenu->addAction("Exit");
  cmdExit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
  QMenu *windows = menuBar()->addMenu("Windows");
  cmdShowConfig = windows->addAction("Configuration");
  WindowsMenu = windows->menuAction();
  WindowsMenu->setVisible(false);
  QMenu *help = menuBar()->addMenu("Help");
  cmdDebugLog = help->addAction("Debug log");
  cmdDebugStream = help->addAction("Debug Stream");
  cmdLowLevelLog = help->addAction("LowLevel Log");
  for (QAction *a : {cmdDebugLog, cmdDebugStream, cmdLowLevelLog}) a->setCheckable(true);
  help->addSeparator();
  cmdAbout = help->addAction("About...");
  for (QAction *a : {cmdExit, cmdShowConfig, cmdDebugLog, cmdDebugStream, cmdLowLevelLog, cmdAbout})
    connect(a, &QAction::triggered, this, [this, a] { MenuClick(a); });
}

// ---- settings -----------------------------------------------------------------------------------

void TMainForm::LoadSettings() {
  FSettings.LoadFromFile(FSettingsFile);
  cmdDebugLog->setChecked(FSettings.GetValue("Debug_Log", false));
  cmdDebugStream->setChecked(FSettings.GetValue("Debug_Stream", false));
  cmdLowLevelLog->setChecked(FSettings.GetValue("LowLevelLog", true));
  for (QAction *a : {cmdDebugLog, cmdDebugStream, cmdLowLevelLog}) ApplyLogSwitch(a);

  auto count = [this](const char *key) {
    int32_t n = 0;
    try {
      n = FSettings.GetValue(key, int32_t(0));
    } catch (const ESettingsConvertError &) {
      LogError(std::string("TMainForm.FormCreate invalid ") + key);
    }
    // A damaged file must not make the window loop for ages.
    return std::clamp<int32_t>(n, 0, 1000);
  };
  const int files = count("FileCount");
  for (int i = 0; i < files; ++i) {
    const std::string name = FSettings.GetValue("File_" + std::to_string(i), "");
    if (name.empty()) continue;
    Log("TMainForm.FormCreate add file " + name);
    FFileNames << QString::fromStdString(name);
  }
  FillFileBox();

  const int hosts = count("HostCount");
  for (int i = 0; i < hosts; ++i) {
    const std::string host = FSettings.GetValue("Host_" + std::to_string(i), "");
    if (host.empty()) continue;
    std::string errorText;
    std::optional<std::vector<std::string>> ips = GetIPsFromHost(host, errorText);
    if (ips && ips->size() == 1) {
      FSettings.SetValue(host, ips->front());
      FHosts << QString::fromStdString(host);
      Log("TMainForm.FormCreate add Host=" + host + ", IP=" + ips->front());
    } else if (!ips && errorText != HostErrorText(platform::WSA_HOST_NOT_FOUND)) {
      // No network now is no reason to forget the name: keep it with the
      // address it had last time.
      FHosts << QString::fromStdString(host);
      LogError("TMainForm.FormCreate keep Host=" + host + ", IP=" + FSettings.GetValue(host, "") +
               " lookup failed: " + errorText);
    } else {
      // Unknown to the resolver, or several addresses (the IP input turns
      // such a name into an address entry).
      FSettings.SetValue(host, "");
      LogError("TMainForm.FormCreate remove Host=" + host + (ips ? " (several IPs)" : " " + errorText));
    }
  }
  FHost = FSettings.GetValue("Host", "");
  Log("TMainForm.FormCreate FHost=" + FHost);

  const int ipCount = count("IPCount");
  for (int i = 0; i < ipCount; ++i) {
    const std::string ip = FSettings.GetValue("IP_" + std::to_string(i), "");
    if (ip.empty()) continue;
    Log("TMainForm.FormCreate add IP " + ip);
    FIPs << QString::fromStdString(ip);
  }
  FIP = FSettings.GetValue("IP", "");
  Log("TMainForm.FormCreate FIP=" + FIP);
}

void TMainForm::SaveSettings() {
  Log("TMainForm.SaveSettings");
  FSettings.SetValue("Debug_Log", cmdDebugLog->isChecked());
  FSettings.SetValue("Debug_Stream", cmdDebugStream->isChecked());
  FSettings.SetValue("LowLevelLog", cmdLowLevelLog->isChecked());
  auto writeList = [this](const char *countKey, const std::string &prefix, const QStringList &list) {
    // Entries beyond the new count would come back on the next start.
    FSettings.RemoveKeys(prefix);
    FSettings.SetValue(countKey, int32_t(list.size()));
    for (int i = 0; i < list.size(); ++i) FSettings.SetValue(prefix + std::to_string(i), Str(list[i]));
  };
  writeList("FileCount", "File_", FFileNames);
  writeList("HostCount", "Host_", FHosts);
  FSettings.SetValue("Host", FHost);
  QStringList ips = FIPs;
  for (const QString &ip : FSimulatedIPs) ips.removeAll(ip);
  writeList("IPCount", "IP_", ips);
  if (!FSimulatedIPs.contains(QString::fromStdString(FIP))) FSettings.SetValue("IP", FIP);
  // Where positions are not reported (Wayland) keep the place we set.
  const bool reported = !QGuiApplication::platformName().startsWith("wayland");
  const QPoint p = reported ? pos() : FPlacedPos;
  FSettings.SetValue("Main_Left", int32_t(p.x()));
  FSettings.SetValue("Main_Top", int32_t(p.y()));
  if (!FSettings.SaveSettings(FSettingsFile)) LogError("TMainForm.SaveSettings failed " + FSettingsFile);
}

void TMainForm::AddSimulatedAddress(const std::string &ip) {
  const QString text = QString::fromStdString(ip);
  FSimulatedIPs << text;
  if (!FIPs.contains(text)) FIPs << text;
}

void TMainForm::FillFileBox() {
  FileNameComboBox->clear();
  FileNameComboBox->addItems(FFileNames);
  FileNameComboBox->setCurrentIndex(FFileNames.isEmpty() ? -1 : 0);
}

// ---- start and shutdown -----------------------------------------------------------------------------

void TMainForm::LosGehts() {
  Log("TMainForm.LosGehts");
  QRect r = geometry();
  int32_t left = r.left(), top = r.top();
  try {
    left = FSettings.GetValue("Main_Left", left);
    top = FSettings.GetValue("Main_Top", top);
  } catch (const ESettingsConvertError &) {
    LogError("TMainForm.LosGehts invalid position");
  }
  r.moveTo(left, top);
  QList<QRect> areas;
  for (QScreen *s : QGuiApplication::screens()) areas << s->availableGeometry();
  QStringList changes;
  // The stored place decides, not the reported one: Wayland reports none.
  r = FitIntoWorkArea(r, areas, changes);
  for (const QString &c : changes) Log("TMainForm.LosGehts adjust " + Str(objectName()) + Str(c));
  move(r.topLeft());
  resize(r.width(), r.height());
  FPlacedPos = r.topLeft();
  FIpInput->SetIpInput(FHost.empty() ? FIP : FHost);
  ClearDeviceLabels();
  ClearConfigFields();
  Log("TMainForm.LosGehts -> ListDevices");
  ListDevices();
  Log("TMainForm.LosGehts END");
}

void TMainForm::closeEvent(QCloseEvent *event) {
  if (FRunning) {
    // Closing under a running action would free the engine it runs in.
    FUpdater->SetCancelUpdate(true);
    event->ignore();
    return;
  }
  if (!FClosed) {
    FClosed = true;
    Log("TMainForm.FormClose");
    SaveSettings();
  }
  event->accept();
}

// ---- device-change notifications ------------------------------------------------------------------------

void TMainForm::StartDeviceMonitor() {
  platform::TZor_SysError error;
  FMonitor = platform::CreateDeviceMonitor(
      [this](const platform::TZor_DeviceChange &change) { DeviceChanged(int(change.Kind), change.Name); }, error);
  if (!FMonitor) {
    LogError("TMainForm.FormCreate no device notifications: " + platform::SystemErrorText(error));
    return;
  }
  FMonitorNotifier = new QSocketNotifier(static_cast<qintptr>(FMonitor->PollHandle()), QSocketNotifier::Read, this);
  connect(FMonitorNotifier, &QSocketNotifier::activated, this, [this] {
    if (FMonitor) FMonitor->Pump();
  });
}

// ---- menu ------------------------------------------------------------------------------------------------

void TMainForm::ApplyLogSwitch(QAction *item) {
  const bool on = item->isChecked();
  const std::string name = AppTitle;
  if (item == cmdDebugLog) {
    if (on) SetLogHeaderLines(FLogId, {VersionLine()});
    SetLogFile(FLogId, on ? FDebugPath + name + ".txt" : std::string(), false);
  } else if (item == cmdDebugStream) {
    if (on) {
      SetLogHeaderLines(FLogIdStream, {VersionLine(), "Magic    t  c  FPGA  Flags   Chk U S Ptr   Values"});
      SetLogHeaderLines(FLogIdStreamDbg, {VersionLine()});
    }
    SetLogFile(FLogIdStream, on ? FDebugPath + "Stream_" + name + ".txt" : std::string(), false);
    SetLogFile(FLogIdStreamDbg, on ? FDebugPath + "StreamDbg_" + name + ".txt" : std::string(), false);
  } else if (item == cmdLowLevelLog && FUpdater) {
    FUpdater->SetLowLevelLog(on);
  }
}

void TMainForm::MenuClick(QAction *item) {
  if (item == cmdExit) {
    close();
  } else if (item == cmdDebugLog || item == cmdDebugStream || item == cmdLowLevelLog) {
    ApplyLogSwitch(item);
  } else if (item == cmdAbout) {
    TFormAbout about(this);
    about.SetTitel(AppTitle);
    about.SetVersion(std::string(AppVersion) + ",   Date: " + AppDate);
    about.SetPeriod("2010-2024");
    about.exec();
  }
}

// ---- messages and progress ----------------------------------------------------------------------------------

void TMainForm::AddMessage(const std::string &text, TMessageType level) {
  const std::string line = "TMainForm.AddMessage " + OneLine(text);
  if (level == mtErr || level == mtErrInfo)
    LogErr(FLogId, line);
  else if (level == mtWarning)
    LogWarn(FLogId, line);
  else
    LogText(FLogId, line);
  auto *item = new QListWidgetItem(QString::fromStdString(text));
  item->setData(Qt::UserRole, int(level));
  if (level == mtErr || level == mtErrInfo) item->setForeground(Qt::red);
  if (level == mtWarning) item->setForeground(Qt::blue);
  if (level == mtOk || level == mtErr || level == mtWarning) {
    QFont f = ListBox->font();
    f.setBold(true);
    item->setFont(f);
  }
  ListBox->addItem(item);
  ListBox->scrollToItem(item);
  if (level == mtErr) ShowErrorBox(QString::fromStdString(text));
}

void TMainForm::Progress(TProgressType kind, int64_t value, const std::string &unitText) {
  const int v = int(std::clamp<int64_t>(value, 0, std::numeric_limits<int>::max()));
  switch (kind) {
    case tpt_SetMax:
      ProgressBar->setRange(0, std::max(v, 1));
      LabelProgressMax->setText(QString::fromStdString("max=" + std::to_string(value) +
                                                       (unitText.empty() ? "" : " " + unitText)));
      break;
    case tpt_SetPosition:
      ProgressBar->setValue(std::min(v, ProgressBar->maximum()));
      if (value == 0) LabelProgressMax->clear();
      break;
    case tpt_StepBy: ProgressBar->setValue(std::min(ProgressBar->value() + v, ProgressBar->maximum())); break;
  }
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TMainForm::ClearMessagesBtnClick() { ListBox->clear(); }

void TMainForm::CancelBtnClick() {
  Log("TMainForm.CancelBtnClick");
  FUpdater->SetCancelUpdate(true);
}

void TMainForm::BrowseBtnClick() {
  const QString name = AskFirmwareFile();
  if (name.isEmpty()) return;
  FFileNames.removeAll(name);
  FFileNames.prepend(name);
  FillFileBox();
}

// ---- boxes ----------------------------------------------------------------------------------------------------

void TMainForm::ShowErrorBox(const QString &text) { QMessageBox::critical(this, windowTitle(), text); }

bool TMainForm::AskYesNo(const QString &text) {
  return QMessageBox::question(this, windowTitle(), text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TMainForm::ShowNotice(const QString &text) { QMessageBox::information(this, windowTitle(), text); }

bool TMainForm::AskLogin(std::string &login) {
  TFormLogin form(this);
  if (form.exec() != QDialog::Accepted) return false;
  login = form.GetPassword();
  return true;
}

bool TMainForm::RunIpInput() { return FIpInput->exec() == QDialog::Accepted; }

bool TMainForm::AskHardFeature(const std::string &text, uint16_t &feature) {
  TFormHardFeature form(this);
  form.Reset(text);
  if (form.exec() != QDialog::Accepted) return false;
  feature = form.GetHardFeature();
  return true;
}

QString TMainForm::AskFirmwareFile() {
  const QString current = FileNameComboBox->currentText();
  QFileDialog dialog(this, "Open", current.isEmpty() ? QString() : QFileInfo(current).absolutePath());
  const QStringList filters = {"S-Record files (*.s19)", "ESP-Binary (*.bin)"};
  dialog.setNameFilters(filters);
  const bool esp = BaseDevice() && BaseDevice()->GetPeerType() == ptESP;
  dialog.selectNameFilter(filters[esp ? 1 : 0]);
  dialog.setFileMode(QFileDialog::ExistingFile);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().front();
}

}  // namespace zor
