// The dialogs driven through their real widgets on the offscreen platform:
// keys typed into the edits, buttons clicked, modal children answered.
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <map>
#include <thread>

#include "app/HardFeatureForm.h"
#include "app/LoginForm.h"
#include "app/SelectIPFromHost.h"
#include "app/SerialNumberForm.h"
#include "app/SplashForm.h"
#include "app/Zor_IP_Input.h"
#include "net/NetUtils.h"
#include "session/Zor_DialogState.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

// Runs `trigger` and hands the modal dialog it opens to `answer`. The timer
// is owned here, so it cannot fire after this returns when no dialog came.
void AnswerModal(const std::function<void()> &trigger, const std::function<void(QWidget *)> &answer) {
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, [&] { answer(QApplication::activeModalWidget()); });
  timer.start(0);
  trigger();
}

// The text of the message box `trigger` opens (empty when none came).
QString AnswerMessageBox(const std::function<void()> &trigger) {
  QString text;
  AnswerModal(trigger, [&](QWidget *modal) {
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
      text = box->text();
      box->accept();
    }
  });
  return text;
}

// A click on the indicator: a stretched check or radio button takes clicks
// only near its content.
void ClickBox(QAbstractButton *button) {
  QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
}

void ClickRadio(QWidget *parent, const QString &text) {
  for (QRadioButton *button : parent->findChildren<QRadioButton *>()) {
    if (button->text() == text) return ClickBox(button);
  }
  QFAIL(qPrintable("no radio button " + text));
}

// Closes the modal dialog still shows when a check inside its
// handler failed, so a failure ends the test instead of hanging it.
struct TRejectOnExit {
  QDialog *Dialog;
  ~TRejectOnExit() {
    if (Dialog && Dialog->isVisible()) Dialog->reject();
  }
};

QPushButton *Button(QWidget *dialog, const char *name) {
  auto *button = dialog->findChild<QPushButton *>(name, Qt::FindDirectChildrenOnly);
  if (!button) qFatal("no button %s", name);
  return button;
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    SetHostResolver(
        [this](const std::string &host, std::vector<std::string> &ips, platform::TZor_SysError &error) {
          const bool known = FHosts.count(host) > 0;
          if (known)
            ips = FHosts.at(host);
          else
            error = {platform::WSA_HOST_NOT_FOUND, 0};
          return known;
        });
  }
  void cleanup() { SetHostResolver(nullptr); }

  void ipInputKeys() {
    TZor_LogCapture log;
    TFormIpInput dialog(nullptr);
    dialog.SetLogId(log.Id());
    dialog.SetIpInput("10.0.0.1");
    dialog.open();
    auto *edit = dialog.findChild<QLineEdit *>("RemoteIP");
    const QColor normal = edit->palette().color(QPalette::Text);
    edit->clear();
    QTest::keyClicks(edit, "my_device,lab#");
    QCOMPARE(edit->text(), QString("my-device.lab"));
    QCOMPARE(edit->palette().color(QPalette::Text), QColor(Qt::red));
    QCOMPARE(log.Count("RemoteIPKeyPress: ungültiges Zeichen=#"), 1);
    QVERIFY(dialog.isVisible());

    // Pasted text follows the same rules.
    edit->clear();
    QApplication::clipboard()->setText("lum_2");
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(edit->text(), QString("lum-2"));
    QApplication::clipboard()->setText("lum 2");
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(edit->text(), QString("lum-2"));

    // Escape gives up the edit: the last accepted text in its normal colour.
    QTest::keyClick(edit, Qt::Key_Escape);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.GetIpInput(), std::string("10.0.0.1"));
    QCOMPARE(edit->palette().color(QPalette::Text), normal);
  }

  void ipInputRefusalsKeepTheDialogOpen() {
    TZor_LogCapture log;
    TFormIpInput dialog(nullptr);
    dialog.SetLogId(log.Id());
    dialog.SetIpInput("");
    dialog.open();
    auto *edit = dialog.findChild<QLineEdit *>("RemoteIP");
    auto *error = dialog.findChild<QLabel *>("LabelRemoteIPError");

    QTest::keyClicks(edit, "nowhere");
    QTest::keyClick(edit, Qt::Key_Return);
    QVERIFY(dialog.isVisible());
    QCOMPARE(error->text(), QString("Host not found"));
    QCOMPARE(log.Count("RemoteIPKeyPress.Enter: ungültigeEingabe=nowhere"), 1);
    QCOMPARE(log.Count("TFormIpInput.CheckRemoteIP nowhere failed: Host not found"), 1);

    edit->clear();
    QTest::keyClicks(edit, "10.0.0");
    QTest::mouseClick(Button(&dialog, "OkBtn"), Qt::LeftButton);
    QVERIFY(dialog.isVisible());
    QCOMPARE(error->text(), QString("invalid IP"));

    // Empty: refused without a reason to show.
    edit->clear();
    QTest::mouseClick(Button(&dialog, "OkBtn"), Qt::LeftButton);
    QVERIFY(dialog.isVisible());
    QCOMPARE(error->text(), QString());

    // Then a good one: accepted, the error gone, and Cancel later comes back to it.
    QTest::keyClicks(edit, "lum2-lab");
    QTest::keyClick(edit, Qt::Key_Return);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.GetDeviceHost(), std::string("lum2-lab"));
    QCOMPARE(dialog.GetDeviceIP(), std::string("192.168.1.20"));
    QCOMPARE(log.Count("RemoteIPKeyPress.Enter: FDeviceHost=lum2-lab FDeviceIP=192.168.1.20"), 1);
    dialog.open();
    QTest::keyClicks(edit, "xyz");
    QTest::mouseClick(Button(&dialog, "CancelBtn"), Qt::LeftButton);
    QCOMPARE(dialog.GetIpInput(), std::string("lum2-lab"));
  }

  void hostWithTwoAddressesAsksForOne() {
    TFormIpInput dialog(nullptr);
    dialog.SetIpInput("");
    dialog.open();
    auto *edit = dialog.findChild<QLineEdit *>("RemoteIP");
    QTest::keyClicks(edit, "lum2-twice");

    bool okWasDisabled = false;
    bool okEnabledByChoice = false;
    QString label;
    const auto clickOk = [&] { QTest::mouseClick(Button(&dialog, "OkBtn"), Qt::LeftButton); };
    AnswerModal(clickOk, [&](QWidget *modal) {
      auto *select = qobject_cast<TFormSelectIPFromHost *>(modal);
      TRejectOnExit guard{select};
      QVERIFY(select);
      QCOMPARE(select->windowTitle(), QString("Select IP"));
      label = select->findChild<QLabel *>()->text();
      okWasDisabled = !Button(select, "OkBtn")->isEnabled();
      QTest::keyClick(select, Qt::Key_Return);  // nothing chosen: Enter does nothing
      QVERIFY(select->isVisible());
      ClickRadio(select, "10.0.0.6");
      okEnabledByChoice = Button(select, "OkBtn")->isEnabled();
      QTest::mouseClick(Button(select, "OkBtn"), Qt::LeftButton);
    });
    QVERIFY(okWasDisabled);
    QVERIFY(okEnabledByChoice);
    QCOMPARE(label, QString("lum2-twice is not a unique host name. Please select IP address."));
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.GetDeviceIP(), std::string("10.0.0.6"));
    QCOMPARE(dialog.GetDeviceHost(), std::string());

    // Cancelled choice: the IP dialog stays open with the reason; a second
    // round offers fresh choices with nothing preselected.
    dialog.open();
    AnswerModal(clickOk, [&](QWidget *modal) {
      auto *select = qobject_cast<TFormSelectIPFromHost *>(modal);
      TRejectOnExit guard{select};
      QVERIFY(select);
      okWasDisabled = !Button(select, "OkBtn")->isEnabled();
      QCOMPARE(select->findChildren<QRadioButton *>().size(), 2);
      QTest::mouseClick(Button(select, "CancelBtn"), Qt::LeftButton);
    });
    QVERIFY(okWasDisabled);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.findChild<QLabel *>("LabelRemoteIPError")->text(), QString("IP not selected"));
    QCOMPARE(dialog.GetDeviceIP(), std::string());
    dialog.reject();
  }

  void loginChecksAndScramblesThePassword() {
    TFormLogin dialog(nullptr);
    dialog.open();
    auto *edit = dialog.findChild<QLineEdit *>("NumberInput");
    QCOMPARE(AnswerMessageBox([&] { QTest::mouseClick(Button(&dialog, "OkBtn"), Qt::LeftButton); }),
             QString("Password input missing"));
    QVERIFY(dialog.isVisible());

    QTest::keyClicks(edit, "12xy-34abcdef");
    QCOMPARE(edit->text(), QString("1234abcd"));  // eight digits at most
    QCOMPARE(AnswerMessageBox([&] { QTest::keyClick(edit, Qt::Key_Return); }), QString());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));

    const std::string first = dialog.GetPassword();
    const std::string second = dialog.GetPassword();
    QCOMPARE(first.size(), size_t(8));
    QVERIFY(first != second);
    for (int i : {2, 3, 5, 7}) QCOMPARE(first[i], second[i]);
  }

  void hardFeature() {
    TFormHardFeature dialog(nullptr);
    dialog.SetHardFeature(0x000A);
    QVERIFY(dialog.findChildren<QRadioButton *>().at(2)->isChecked());  // Pelq
    dialog.Reset("WARNING: Device Feature missing!");
    QCOMPARE(dialog.findChild<QLabel *>("LabelVersion")->text(), QString("WARNING: Device Feature missing!"));
    QCOMPARE(dialog.GetHardFeature(), uint16_t(1));

    dialog.open();
    ClickRadio(&dialog, "LUM and Norva");
    ClickBox(dialog.findChild<QCheckBox *>("cbSoftwareClock"));
    QTest::mouseClick(Button(&dialog, "OkBtn"), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.GetHardFeature(), uint16_t(7));

    dialog.SetHardFeature(dialog.GetHardFeature());
    QCOMPARE(dialog.GetHardFeature(), uint16_t(7));
  }

  void serialNumber() {
    TFormSerialNumber dialog(nullptr);
    dialog.SetSerialNumber(0x00012345);
    dialog.open();
    auto *number = dialog.findChild<QLineEdit *>("NumberInput");
    auto *password = dialog.findChild<QLineEdit *>("PasswordInput");
    auto *byDefault = dialog.findChild<QCheckBox *>("cbDefault");
    QVERIFY(byDefault->isChecked());
    const auto expected = [](uint32_t n) { return QString::asprintf("%08X", session::DefaultPassword(n)); };
    QCOMPARE(password->text(), expected(0x00012345));

    number->clear();
    QCOMPARE(password->text(), QString());
    QTest::keyClicks(number, "abc");
    QCOMPARE(password->text(), expected(0xABC));

    // A password typed by hand stays, whatever the number does.
    password->clear();
    QCOMPARE(AnswerMessageBox([&] { QTest::mouseClick(Button(&dialog, "OkBtn"), Qt::LeftButton); }),
             QString("unique password input missing"));
    QTest::keyClicks(password, "0badf00d");
    QVERIFY(!byDefault->isChecked());
    QTest::keyClicks(number, "d");
    QCOMPARE(password->text(), QString("0badf00d"));

    number->clear();
    QCOMPARE(AnswerMessageBox([&] { QTest::mouseClick(Button(&dialog, "OkBtn"), Qt::LeftButton); }),
             QString("unique serial number input missing"));
    QVERIFY(dialog.isVisible());
    QTest::keyClicks(number, "12345");
    QTest::mouseClick(Button(&dialog, "OkBtn"), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.GetSerialNumber(), 0x00012345u);
    QCOMPARE(dialog.GetPassword(), 0x0BADF00Du);
    QVERIFY(!dialog.GetSerialNumberChanged());
  }

  void splash() {
    TZor_LogCapture log;
    std::thread([&] { ShowSplash("from a worker", log.Id()); }).join();
    QVERIFY(!CurrentSplash());
    QCOMPARE(log.Count("ShowSplash"), 0);

    ShowSplash("Connecting to 10.0.0.1", log.Id());
    ShowSplash("Connecting to 10.0.0.1 ...", log.Id());
    TFormSplash *splash = CurrentSplash();
    QVERIFY(splash && splash->isVisible());
    QVERIFY(splash->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(splash->windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(splash->Label()->text(), QString("Connecting to 10.0.0.1 ..."));
    QCOMPARE(splash->width(), splash->Label()->width() + 2 * splash->Label()->x());
    QCOMPARE(splash->height(), splash->Label()->height() + 2 * splash->Label()->y());
    QCOMPARE(log.Count("ShowSplashIntern: create FormSplash"), 1);
    QCOMPARE(log.Count("ShowSplashIntern: show FormSplash"), 2);

    std::thread([] { HideSplash(); }).join();
    QVERIFY(CurrentSplash());
    HideSplash();
    QVERIFY(!CurrentSplash());
    HideSplash();  // nothing left to hide
    QCOMPARE(log.Count("HideSplashIntern: END"), 1);
    const std::string text = log.Text();
    QVERIFY(text.find("FormSplash.Hide") < text.find("FormSplash.Close"));
    QVERIFY(text.find("FormSplash.Close") < text.find("FormSplash.Free"));
  }

 private:
  std::map<std::string, std::vector<std::string>> FHosts{
      {"lum2-lab", {"192.168.1.20"}},
      {"lum2-twice", {"10.0.0.5", "10.0.0.6"}},
  };
};

}  // namespace zor

QTEST_MAIN(zor::DialogsTest)
#include "Dialogs_test.moc"
