// Zor_FirmwareUpload: the window application.
//
//   Zor_FirmwareUpload [-referror] [--simulate] [--settings FILE]
//                      [--screenshot FILE [--select TEXT]]
//
// -referror (first argument) shows the reference-clock option of ESP devices;
// --simulate adds simulated devices (a ColdFire and an ESP device on the
// network and on USB) so the tool can be tried without hardware;
// --settings takes another settings file (tests, several set-ups);
// --screenshot saves a picture of the window once the device list entry
// containing the --select text is selected and read, then ends.
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/Zor_FW_Main.h"
#include "app/Zor_SimulatedDevices.h"

using namespace zor;

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(TMainForm::AppTitle);
  const QStringList args = QApplication::arguments();
  TMainFormOptions options;
  bool simulate = false;
  QString shot, select;
  for (int i = 1; i < args.size(); ++i) {
    if (i == 1 && args[i].toLower() == "-referror") {
      options.RefError = true;
    } else if (args[i] == "--simulate") {
      simulate = true;
    } else if (args[i] == "--settings" && i + 1 < args.size()) {
      options.SettingsFile = args[++i];
    } else if (args[i] == "--screenshot" && i + 1 < args.size()) {
      shot = args[++i];
    } else if (args[i] == "--select" && i + 1 < args.size()) {
      select = args[++i];
    } else {
      const bool help = args[i] == "--help" || args[i] == "-h";
      std::fprintf(help ? stdout : stderr,
                   "usage: Zor_FirmwareUpload [-referror] [--simulate] [--settings FILE]\n"
                   "                          [--screenshot FILE [--select TEXT]]\n");
      return help ? 0 : 64;
    }
  }
  // Declared first, so the simulated devices outlive the window.
  TZor_SimulatedDevices simulated;
  auto form = std::make_unique<TMainForm>(options);
  if (simulate) {
    std::vector<std::string> errors;
    simulated.Start(*form, errors);
    for (const std::string &e : errors) std::fprintf(stderr, "simulated device: %s\n", e.c_str());
  }
  form->show();
  form->LosGehts();
  // Polled, because the start-up read and the selected device's read both
  // run inside the event loop.
  QTimer shotTimer;
  bool selected = false;
  if (!shot.isEmpty()) {
    QObject::connect(&shotTimer, &QTimer::timeout, form.get(), [&] {
      if (form->IsRunning() || !form->gbSelectDevice->isEnabled()) return;
      if (selected) {
        shotTimer.stop();
        QApplication::exit(form->grab().save(shot, "PNG") ? 0 : 1);
        return;
      }
      const int index = form->PortNameComboBox->findText(select, Qt::MatchContains);
      if (index < 0) {
        std::fprintf(stderr, "no device list entry contains %s\n", qPrintable(select));
        QApplication::exit(1);
        return;
      }
      selected = true;
      form->PortNameComboBox->setCurrentIndex(index);
      form->PortNameComboBoxChange();
    });
    shotTimer.start(200);
  }
  const int status = app.exec();
  form.reset();
  return status;
}
