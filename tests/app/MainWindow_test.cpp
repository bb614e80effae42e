// The main window driven through its real widgets against simulated devices
// (network devices on loopback addresses, USB devices in the in-process
// registry). Boxes and dialogs that would block are answered by the test.
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <fstream>
#include <memory>

#include "app/Zor_FW_Main.h"
#include "app/Zor_IP_Input.h"
#include "app/Zor_SimulatedDevices.h"
#include "firmware/Uploader_Common.h"
#include "foundation/Zor_Utils.h"
#include "net/NetUtils.h"
#include "session/Zor_Devices.h"
#include "sim/SimEsp.h"
#include "usb/Zor_UsbDevice.h"

using namespace zor;

namespace {

// The window with every box answered by the test.
class TTestForm : public TMainForm {
 public:
  using TMainForm::TMainForm;
  QStringList Errors, Questions, Notices;
  bool Answer = true;
  int IpInputRuns = 0;
  bool UseRealIpDialog = false;

  void ShowErrorBox(const QString &text) override { Errors << text; }
  bool AskYesNo(const QString &text) override {
    Questions << text;
    return Answer;
  }
  void ShowNotice(const QString &text) override { Notices << text; }
  bool AskLogin(std::string &login) override {
    login = MakeLoginText(0);
    return true;
  }
  bool RunIpInput() override {
    ++IpInputRuns;
    if (!UseRealIpDialog) return false;
    // The real dialog, closed the way the user's Cancel closes it.
    QTimer::singleShot(0, IpInput(), [this] { IpInput()->reject(); });
    return TMainForm::RunIpInput();
  }
  bool AskHardFeature(const std::string &, uint16_t &) override { return false; }

  QStringList Messages() const {
    QStringList list;
    for (int i = 0; i < ListBox->count(); ++i) list << ListBox->item(i)->text();
    return list;
  }
  bool HasMessage(const QString &text) const { return Messages().contains(text); }
  QStringList Entries() const {
    QStringList list;
    for (int i = 0; i < PortNameComboBox->count(); ++i) list << PortNameComboBox->itemText(i);
    return list;
  }
  void Choose(const QString &entry) {
    PortNameComboBox->setCurrentIndex(PortNameComboBox->findText(entry));
    PortNameComboBoxChange();
  }
};

// Longest pause between two ticks of a 10 ms timer while something runs.
class TGapMeter {
 public:
  TGapMeter() {
    FTimer.setInterval(10);
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      const qint64 now = FClock.elapsed();
      FMax = std::max(FMax, now - FLast);
      FLast = now;
    });
    FClock.start();
    FTimer.start();
  }
  qint64 Max() const { return FMax; }

 private:
  QTimer FTimer;
  QElapsedTimer FClock;
  qint64 FLast = 0;
  qint64 FMax = 0;
};

// S3 records of user code from 0x4000, written from the format.
std::string ColdfireImage(size_t size) {
  std::string text;
  static const char *hex = "0123456789ABCDEF";
  for (size_t at = 0; at < size; at += 32) {
    const uint32_t address = 0x4000 + uint32_t(at);
    std::string bytes(1, char(4 + 32 + 1));
    for (int i = 3; i >= 0; --i) bytes += char(address >> (8 * i));
    for (size_t i = 0; i < 32; ++i) bytes += char((at + i * 7 + 3) & 0xFF);
    unsigned sum = 0;
    for (unsigned char c : bytes) sum += c;
    bytes += char(~sum & 0xFF);
    text += "S3";
    for (unsigned char c : bytes) (text += hex[c >> 4]) += hex[c & 15];
    text += "\r\n";
  }
  return text + "S70500004000BA\r\n";
}

std::string EspImage(size_t size) {
  std::string image(size, '\0');
  for (size_t i = 0; i < size; ++i) image[i] = char((i * 13 + 5) & 0xFF);
  image[0] = char(SimEspImageMagic);
  return image;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

  std::unique_ptr<QTemporaryDir> FDir;

  QString Path(const QString &name) const { return FDir->filePath(name); }

  void WriteSettings(const QStringList &lines) {
    std::ofstream out(Path("settings.ini").toStdString());
    for (const QString &l : lines) out << l.toStdString() << "\n";
  }
  QString WriteFile(const QString &name, const std::string &content) {
    std::ofstream out(Path(name).toStdString(), std::ios::binary);
    out << content;
    return Path(name);
  }
  std::unique_ptr<TTestForm> MakeForm() {
    TMainFormOptions options;
    options.SettingsFile = Path("settings.ini");
    options.DebugPath = Path("Debug");
    auto form = std::make_unique<TTestForm>(options);
    form->show();
    return form;
  }
  std::unique_ptr<session::TSimHost> StartSim(bool esp) {
    std::string error;
    session::TSimDeviceOptions options;
    options.Serial = esp ? 0x0000ABCE : 0x0000ABCD;
    auto sim = session::TSimHost::Start(esp, options, -1, error);
    if (!sim) qFatal("simulated device: %s", error.c_str());
    return sim;
  }
  // A window started with the simulated network devices as its remembered addresses.
  std::unique_ptr<TTestForm> FormWith(const std::vector<const session::TSimHost *> &sims) {
    QStringList lines = {QString("IPCount=%1").arg(sims.size())};
    for (size_t i = 0; i < sims.size(); ++i)
      lines << QString("IP_%1=%2").arg(i).arg(QString::fromStdString(sims[i]->GetAddress()));
    lines << "IP=" + QString::fromStdString(sims.front()->GetAddress());
    WriteSettings(lines);
    auto form = MakeForm();
    form->LosGehts();
    return form;
  }

 private slots:
  void init() { FDir = std::make_unique<QTemporaryDir>(); }
  void cleanup() {
    SetHostResolver(nullptr);
    FDir.reset();
  }

  void startWithoutDevicesAsksForAnAddress() {
    WriteSettings({});
    auto form = MakeForm();
    form->UseRealIpDialog = true;
    form->LosGehts();
    QCOMPARE(form->IpInputRuns, 1);
    QCOMPARE(form->Entries(), QStringList{"Network"});
    QCOMPARE(form->PortNameComboBox->currentText(), QString("Network"));
    QVERIFY(form->BaseDevice() == nullptr);
    QVERIFY(!form->gbFile->isEnabled());
    QVERIFY(!form->StartBtn->isEnabled());
    // With "Network" the only entry a click on the box asks again.
    form->PortNameComboBoxClick();
    QCOMPARE(form->IpInputRuns, 2);
    QVERIFY(form->Errors.isEmpty());
  }

  // Cancel in the address dialog keeps working with the address known before.
  void cancelledAddressKeepsThePreviousDevice() {
    auto cf = StartSim(false);
    auto form = FormWith({cf.get()});
    form->Choose("Network");
    QCOMPARE(form->IpInputRuns, 1);
    QCOMPARE(form->PortNameComboBox->currentText(), QString("Network"));
    QVERIFY(form->BaseDevice() != nullptr);
    QCOMPARE(form->LabelSerialNumber->text(), QString("0000ABCD"));
  }

  void coldfireAndEspSelectedWithTheirData() {
    auto cf = StartSim(false);
    auto esp = StartSim(true);
    auto form = FormWith({cf.get(), esp.get()});
    const QString cfEntry = "IP: " + QString::fromStdString(cf->GetAddress());
    const QString espEntry = "IP: " + QString::fromStdString(esp->GetAddress());
    QCOMPARE(form->PortNameComboBox->currentText(), cfEntry);
    QCOMPARE(form->LabelSerialNumber->text(), QString("0000ABCD"));
    QVERIFY(form->LabelFirmware->text() != "-");
    QVERIFY(!form->CFgbIP->isHidden());
    QVERIFY(form->ESPgbIP->isHidden());
    QCOMPARE(form->CFIpAddressEdit->text(), QString::fromStdString(cf->GetAddress()));
    QVERIFY(form->cbUpdateConfiguration->isEnabled());
    QVERIFY(form->cbSwitchFactory->isHidden());

    form->Choose(espEntry);
    QCOMPARE(form->LabelSerialNumber->text(), QString("0000ABCE"));
    QVERIFY(form->CFgbIP->isHidden());
    QVERIFY(!form->ESPgbIP->isHidden());
    QVERIFY(!form->ESPgbHard->isHidden());
    QVERIFY(!form->ESPgbPPI->isHidden());
    QVERIFY(form->IpAddressEdit == form->ESPIpAddressEdit);
    // A device without a host name gets the default one, to be written with Start.
    QCOMPARE(form->HostNameEdit->text(), QString("Zor-LUM2"));
    QVERIFY(TMainForm::IsEdited(form->HostNameEdit));
    QVERIFY(form->cbUpdateConfiguration->isChecked());
    QVERIFY(form->StartBtn->isEnabled());
    QVERIFY(!form->cbSwitchFactory->isHidden());
    QVERIFY(form->cbUpdateBootloader->isHidden());
    QVERIFY(form->Errors.isEmpty());
  }

  // The network update with its progress, the success message, the list
  // rebuilt, and how long the window went without processing events.
  void coldfireNetworkUpdate() {
    auto cf = StartSim(false);
    auto form = FormWith({cf.get()});
    const QString file = WriteFile("LUM_SU6.s19", ColdfireImage(16 * 1024));
    form->FileNameComboBox->setEditText(file);
    form->cbUpdateFirmware->click();
    QVERIFY(form->StartBtn->isEnabled());
    int progressMax = 0;
    connect(form->ProgressBar, &QProgressBar::valueChanged,
            [&](int v) { progressMax = std::max(progressMax, v); });
    const int lists = form->ListDevicesCount();
    TGapMeter gaps;
    QTest::mouseClick(form->StartBtn, Qt::LeftButton);
    qInfo("longest gap between events during the network update: %lld ms", gaps.Max());
    QVERIFY2(form->HasMessage("Firmware update was successful"), qPrintable(form->Messages().join('\n')));
    QVERIFY(progressMax > 0);
    QCOMPARE(form->ListDevicesCount(), lists + 1);
    QCOMPARE(form->FFileNames.front(), file);
    QVERIFY(!form->IsRunning());
    QVERIFY(!form->cbUpdateFirmware->isChecked());
    QVERIFY(form->gbSelectDevice->isEnabled());
    QVERIFY(!form->CancelBtn->isEnabled());
    QVERIFY(form->Errors.isEmpty());
    // No pause of the device holds the window: the engine processes events
    // while it waits (under 100 ms here when the machine is idle; the bound
    // leaves room for a loaded test machine and still catches a wait that
    // forgets to).
    QVERIFY(gaps.Max() < 400);
  }

  void cancelDuringAnUpdate() {
    auto esp = StartSim(true);
    auto form = FormWith({esp.get()});
    form->FileNameComboBox->setEditText(WriteFile("LUM2_fw.bin", EspImage(400 * 1024)));
    form->cbUpdateFirmware->click();
    bool clicked = false;
    connect(form->ProgressBar, &QProgressBar::valueChanged, [&](int v) {
      if (v > 0 && !clicked && form->CancelBtn->isEnabled()) {
        clicked = true;
        QTimer::singleShot(0, form->CancelBtn, [&] { QTest::mouseClick(form->CancelBtn, Qt::LeftButton); });
      }
    });
    form->StartBtn->click();
    QVERIFY(clicked);
    QVERIFY2(
        form->HasMessage(QString::fromStdString("Error during firmware update: " + ErrorText(fwr_Canceled))),
        qPrintable(form->Messages().join('\n')));
    QVERIFY(!form->IsRunning());
    QVERIFY(form->gbSelectDevice->isEnabled());
    QVERIFY(!form->CancelBtn->isEnabled());
  }

  // A new host name written to an ESP device: the device is found again
  // under it, and its entry leads to it from now on.
  void hostNameChangeFollowsTheDevice() {
    auto esp = StartSim(true);
    const std::string address = esp->GetAddress();
    SetHostResolver(
        [address](const std::string &host, std::vector<std::string> &ips, platform::TZor_SysError &error) {
          if (host == "lab-lum2") {
            ips = {address};
            return true;
          }
          error.Code = platform::WSA_HOST_NOT_FOUND;
          return false;
        });
    auto form = FormWith({esp.get()});
    form->HostNameEdit->selectAll();
    QTest::keyClicks(form->HostNameEdit, "lab-lum2");
    QCOMPARE(form->HostNameEdit->text(), QString("lab-lum2"));
    QVERIFY(form->cbUpdateConfiguration->isChecked());
    form->StartBtn->click();
    QVERIFY2(form->HasMessage("Firmware configuration set"), qPrintable(form->Messages().join('\n')));
    QCOMPARE(form->PortNameComboBox->currentText(), QString("Host: lab-lum2"));
    QCOMPARE(form->Settings().GetValue("lab-lum2", ""), address);
    QCOMPARE(form->HostNameEdit->text(), QString("lab-lum2"));
    QVERIFY(form->Errors.isEmpty());
  }

  // Questions before an update; No leaves the device alone.
  void startAsksBeforeWhatMayNotFit() {
    auto cf = StartSim(false);
    auto form = FormWith({cf.get()});
    form->Answer = false;
    form->FileNameComboBox->setEditText(WriteFile("Pelq_su6.s19", ColdfireImage(64)));
    form->cbUpdateFirmware->click();
    form->StartBtn->click();
    QCOMPARE(form->Questions.size(), 1);
    QVERIFY(form->Questions.front().startsWith("Selected firmware may not fit device features "));
    QVERIFY(form->Questions.front().endsWith("!\r\nContinue?"));
    QVERIFY(form->focusWidget() == form->FileNameComboBox);
    QVERIFY(!form->HasMessage("Firmware update was successful"));

    form->NickNameEdit->setText("");
    TMainForm::SetEdited(form->NickNameEdit, true);
    form->cbUpdateConfiguration->click();
    form->StartBtn->click();
    QCOMPARE(form->Questions.last(), QString("Do you really want to clear the nickname?"));
    QVERIFY(!form->HasMessage("Firmware configuration set"));
    QVERIFY(form->Errors.isEmpty());
  }

  void configurationEditWrittenWithStart() {
    auto cf = StartSim(false);
    auto form = FormWith({cf.get()});
    form->NickNameEdit->clear();
    QTest::keyClicks(form->NickNameEdit, "Lab3");
    QVERIFY(TMainForm::IsEdited(form->NickNameEdit));
    form->cbUpdateConfiguration->click();
    form->StartBtn->click();
    QVERIFY2(form->HasMessage("Firmware configuration set"), qPrintable(form->Messages().join('\n')));
    // Read back from the device after the list was rebuilt.
    QCOMPARE(form->NickNameEdit->text(), QString("Lab3"));
    QVERIFY(!TMainForm::IsEdited(form->NickNameEdit));
    QVERIFY(form->Errors.isEmpty());
  }

  void refusedInputsNameEveryBadField() {
    auto cf = StartSim(false);
    auto esp = StartSim(true);
    auto form = FormWith({cf.get(), esp.get()});
    form->CFIpAddressEdit->selectAll();
    QTest::keyClicks(form->CFIpAddressEdit, "192,168,1");
    QCOMPARE(form->CFIpAddressEdit->text(), QString("192.168.1"));
    form->CFSubnetmaskEdit->selectAll();
    QTest::keyClick(form->CFSubnetmaskEdit, Qt::Key_Backspace);
    form->cbUpdateConfiguration->click();
    form->StartBtn->click();
    const QString expected = "Invalid input IP address: 192.168.1, Missing input Subnetmask";
    QCOMPARE(form->Errors, QStringList{expected});
    QVERIFY(form->HasMessage(expected));
    QVERIFY(form->focusWidget() == form->CFIpAddressEdit);
    // Escape brings the stored address back.
    QTest::keyClick(form->CFIpAddressEdit, Qt::Key_Escape);
    QCOMPARE(form->CFIpAddressEdit->text(), QString::fromStdString(cf->GetAddress()));
    QVERIFY(!TMainForm::IsEdited(form->CFIpAddressEdit));
    // A refused key changes nothing and marks nothing.
    const QString canId = form->CANRxIDEdit->text();
    QTest::keyClick(form->CANRxIDEdit, Qt::Key_X);
    QCOMPARE(form->CANRxIDEdit->text(), canId);
    QVERIFY(!TMainForm::IsEdited(form->CANRxIDEdit));

    form->Choose("IP: " + QString::fromStdString(esp->GetAddress()));
    std::string errors;
    TZor_FlashVariables record;
    form->comboPPIInterval->setCurrentIndex(6);  // 100 ms
    emit form->comboPPIInterval->activated(6);
    form->PPIoffsetEdit->selectAll();
    QTest::keyClicks(form->PPIoffsetEdit, "100");
    QVERIFY(form->GetConfig(errors, record) == form->PPIoffsetEdit);
    QCOMPARE(QString::fromStdString(errors), QString("PPI offset too large"));
    QTest::keyClick(form->PPIoffsetEdit, Qt::Key_Backspace);
    QTest::keyClick(form->PPIoffsetEdit, Qt::Key_Backspace);
    QTest::keyClicks(form->PPIoffsetEdit, "9");
    QVERIFY(form->GetConfig(errors, record) == nullptr);
    QCOMPARE(record.GetPPIoffset(), uint16_t(19));
    QCOMPARE(record.GetPPIintervalIndex(), uint8_t(6));
    QVERIFY(record.IsChanged(fch_PPI));
    // Start condition "User defined", mode "Phase", interval "   1 ms" is stored as 127.
    form->RadioHardUser->click();
    form->comboHardMode->setCurrentIndex(0);
    form->comboHardIntervall->setCurrentIndex(0);
    QVERIFY(form->GetConfig(errors, record) == nullptr);
    QCOMPARE(int(record.GetHard24_31()), 127);
  }

  // Recent files, hosts, addresses, log switches and position; a host the
  // resolver no longer knows is forgotten, one it could not look up is kept.
  void settingsRoundTrip() {
    SetHostResolver(
        [](const std::string &host, std::vector<std::string> &ips, platform::TZor_SysError &error) {
          if (host == "lab-lum2") {
            ips = {"10.0.0.7"};
            return true;
          }
          if (host == "twin") {
            ips = {"10.0.0.8", "10.0.0.9"};
            return true;
          }
          error.Code = host == "gone" ? uint32_t(platform::WSA_HOST_NOT_FOUND) : 11002u;
          return false;
        });
    WriteSettings({"Debug_Log=0", "Debug_Stream=0", "LowLevelLog=0", "FileCount=2", "File_0=/fw/b.s19",
                   "File_1=/fw/a.s19", "HostCount=4", "Host_0=lab-lum2", "Host_1=gone", "Host_2=offline",
                   "Host_3=twin", "gone=10.0.0.5", "offline=10.0.0.6", "IPCount=1", "IP_0=10.0.0.99",
                   "Main_Left=5000", "Main_Top=-2147483648"});
    auto form = MakeForm();
    form->LosGehts();
    QCOMPARE(form->Entries(), (QStringList{"Network", "Host: lab-lum2", "Host: offline", "IP: 10.0.0.99"}));
    QVERIFY(form->pos().x() < 5000 && form->pos().y() >= 0);
    QVERIFY(!form->cmdLowLevelLog->isChecked());
    form->cmdDebugLog->trigger();
    form->close();

    TAppSettings saved;
    QVERIFY(saved.LoadFromFile(Path("settings.ini").toStdString()));
    QCOMPARE(saved.GetValue("FileCount", int32_t(0)), 2);
    QCOMPARE(saved.GetValue("File_0", ""), std::string("/fw/b.s19"));
    QCOMPARE(saved.GetValue("HostCount", int32_t(0)), 2);
    QCOMPARE(saved.GetValue("Host_1", ""), std::string("offline"));
    QVERIFY(!saved.HasKey("Host_2") && !saved.HasKey("gone") && !saved.HasKey("twin"));
    QCOMPARE(saved.GetValue("lab-lum2", ""), std::string("10.0.0.7"));
    QCOMPARE(saved.GetValue("offline", ""), std::string("10.0.0.6"));
    QCOMPARE(saved.GetValue("IP_0", ""), std::string("10.0.0.99"));
    QCOMPARE(saved.GetValue("Debug_Log", false), true);
    QCOMPARE(saved.GetValue("LowLevelLog", true), false);
    QCOMPARE(saved.GetValue("Main_Left", int32_t(-1)), int32_t(form->pos().x()));
    QVERIFY(saved.GetValue("Main_Left", int32_t(-1)) < 5000);
  }

  // --simulate: two USB devices first, then the two network devices, whose
  // addresses of this run never reach the settings file.
  void simulatedDevicesListedNotSaved() {
    WriteSettings({"IPCount=1", "IP_0=10.0.0.99"});
    TZor_SimulatedDevices simulated;
    auto form = MakeForm();
    std::vector<std::string> errors;
    simulated.Start(*form, errors);
    QVERIFY2(errors.empty(), errors.empty() ? "" : errors.front().c_str());
    form->LosGehts();
    const QStringList entries = form->Entries();
    QCOMPARE(entries.size(), 6);
    QVERIFY(entries[0].startsWith("USB: ") && entries[1].startsWith("USB: "));
    QCOMPARE(entries[2], QString("Network"));
    QCOMPARE(form->PortNameComboBox->currentIndex(), 0);
    QVERIFY(form->LabelSerialNumber->text() != "-");
    form->close();
    TAppSettings saved;
    QVERIFY(saved.LoadFromFile(Path("settings.ini").toStdString()));
    QCOMPARE(saved.GetValue("IPCount", int32_t(0)), 1);
    QCOMPARE(saved.GetValue("IP_0", ""), std::string("10.0.0.99"));
    form.reset();
  }

  void windowOutsideEveryScreenMovesIn() {
    QStringList log;
    const QList<QRect> areas = {QRect(0, 0, 1920, 1040), QRect(1920, 0, 1280, 1000)};
    QCOMPARE(FitIntoWorkArea(QRect(5000, 200, 600, 400), areas, log), QRect(1920, 200, 600, 400));
    QCOMPARE(log, QStringList{": Left 5000 -> 1920"});
    log.clear();
    QCOMPARE(FitIntoWorkArea(QRect(100, -50, 600, 1200), areas, log), QRect(100, 0, 600, 1040));
    QCOMPARE(log.size(), 2);
    log.clear();
    QCOMPARE(FitIntoWorkArea(QRect(100, 900, 600, 400), areas, log), QRect(100, 0, 600, 400));
  }

  void threeInvalidUsbDevicesGiveOneMessage() {
    WriteSettings({});
    auto form = MakeForm();
    form->Engine().SetUsbEnumerator([](int logId, std::string &) {
      TZor_LocalDeviceList list;
      for (int i = 0; i < 3; ++i)
        list.push_back(std::make_unique<TZor_UsbDevice>(logId, 0, nullptr, true, Zor_HID,
                                                        "sim:bad" + std::to_string(i) + "#VID_16D0&PID_0611#",
                                                        0x16D0, 0x0611, ""));
      return list;
    });
    form->LosGehts();
    QCOMPARE(form->Errors.size(), 1);
    const QStringList lines = form->Errors.front().split("\r\n");
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines[0].startsWith("USB state of Zor Device ") && lines[0].endsWith(" is invalid."));
    QCOMPARE(lines[3], QString("Please re-power Zor Devices and click Refresh button"));
    QCOMPARE(form->Entries(), QStringList{"Network"});
  }

  // A refresh while the version is read waits until the read is over, so
  // the device in use is not freed under it.
  void refreshDuringARead() {
    auto cf = StartSim(false);
    auto form = FormWith({cf.get()});
    const int lists = form->ListDevicesCount();
    bool runningThen = false;
    int listsThen = -1;
    QTimer::singleShot(0, form.get(), [&] {
      runningThen = form->IsRunning();
      form->EnumerateBtnClick();
      listsThen = form->ListDevicesCount();
    });
    form->PortNameComboBoxChange();
    QVERIFY(runningThen);
    QCOMPARE(listsThen, lists);
    QTRY_COMPARE(form->ListDevicesCount(), lists + 1);
    QCOMPARE(form->LabelSerialNumber->text(), QString("0000ABCD"));
  }

  // A USB update: the device restarts, leaves and comes back as a new
  // object; the notifications meanwhile do not rebuild the list, and the
  // window keeps the device that came back.
  void usbUpdateFollowsTheDevice() {
    std::string error;
    session::TSimDeviceOptions options;
    options.Serial = 0x00001001;
    auto usb = session::TSimUsbHost::Start(session::TSimUsbKind::ColdfireHid, options, -1, error);
    QVERIFY2(usb, error.c_str());
    WriteSettings({});
    auto form = MakeForm();
    form->LosGehts();
    QVERIFY2(form->PortNameComboBox->currentText().startsWith("USB: "),
             qPrintable(form->Entries().join(',')));
    QCOMPARE(form->LabelSerialNumber->text(), QString("00001001"));
    form->FileNameComboBox->setEditText(WriteFile("LUM_SU6.s19", ColdfireImage(8 * 1024)));
    form->cbUpdateFirmware->click();
    const int lists = form->ListDevicesCount();
    const int changes = form->DeviceChangeCount();
    TGapMeter gaps;
    form->StartBtn->click();
    qInfo("longest gap between events during the USB update: %lld ms", gaps.Max());
    // The device left and came back during the update.
    QVERIFY(form->DeviceChangeCount() >= changes + 2);
    QVERIFY2(form->HasMessage("Firmware update was successful"), qPrintable(form->Messages().join('\n')));
    QCOMPARE(form->ListDevicesCount(), lists + 1);
    QVERIFY(form->PortNameComboBox->currentText().startsWith("USB: "));
    QCOMPARE(form->LabelSerialNumber->text(), QString("00001001"));
    QVERIFY(form->BaseDevice() != nullptr);
    QVERIFY(gaps.Max() < 400);
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindow_test.moc"
