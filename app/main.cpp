// Zor_FirmwareUpload: the window application.
//
//   Zor_FirmwareUpload [-referror] [--simulate] [--settings FILE]
//
// -referror (first argument) shows the reference-clock option of ESP devices;
// --simulate adds simulated devices (a ColdFire and an ESP device on the
// network and on USB) so the tool can be tried without hardware;
// --settings takes another settings file (tests, several set-ups).
#include <QApplication>
#include <QStringList>
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
  for (int i = 1; i < args.size(); ++i) {
    if (i == 1 && args[i].toLower() == "-referror") {
      options.RefError = true;
    } else if (args[i] == "--simulate") {
      simulate = true;
    } else if (args[i] == "--settings" && i + 1 < args.size()) {
      options.SettingsFile = args[++i];
    } else {
      std::fprintf(stderr, "usage: Zor_FirmwareUpload [-referror] [--simulate] [--settings FILE]\n");
      return 64;
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
  const int status = app.exec();
  form.reset();
  return status;
}
