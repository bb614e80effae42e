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
#include <vector>

#include "app/Zor_FW_Main.h"
#include "session/Zor_Devices.h"

namespace {

using namespace zor;

// The simulated devices of --simulate; they outlive the window, whose engine
// says goodbye to them when it is freed.
struct TSimulatedDevices {
  std::vector<std::unique_ptr<session::TSimHost>> Network;
  std::vector<std::unique_ptr<session::TSimUsbHost>> Usb;

  void Start(TMainForm &form) {
    std::string error;
    session::TSimDeviceOptions coldfire;
    session::TSimDeviceOptions esp;
    esp.Serial = 0x0000ABCE;
    for (bool isEsp : {false, true}) {
      auto host = session::TSimHost::Start(isEsp, isEsp ? esp : coldfire, form.FLogId, error);
      if (!host) {
        std::fprintf(stderr, "simulated device: %s\n", error.c_str());
        continue;
      }
      form.AddSimulatedAddress(host->GetAddress());
      Network.push_back(std::move(host));
    }
    session::TSimDeviceOptions usbColdfire;
    usbColdfire.Serial = 0x00001001;
    session::TSimDeviceOptions usbEsp;
    usbEsp.Serial = 0x00001002;
    for (auto [kind, options] : {std::pair{session::TSimUsbKind::ColdfireHid, usbColdfire},
                                 std::pair{session::TSimUsbKind::EspCdc, usbEsp}}) {
      auto usb = session::TSimUsbHost::Start(kind, options, form.FLogId, error);
      if (usb)
        Usb.push_back(std::move(usb));
      else
        std::fprintf(stderr, "simulated USB device: %s\n", error.c_str());
    }
  }
};

}  // namespace

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
  TSimulatedDevices simulated;
  auto form = std::make_unique<TMainForm>(options);
  if (simulate) simulated.Start(*form);
  form->show();
  form->LosGehts();
  const int status = app.exec();
  form.reset();
  return status;
}
