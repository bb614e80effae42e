// What the window offers the update engine during an action: Qt's event
// processing (so Cancel, progress and device-change notifications keep
// working while the engine waits), the splash text and the questions, which
// go to the main window so tests can answer them.
#pragma once

#include <string>

#include "firmware/Zor_FW_Class.h"

namespace zor {

class TMainForm;

class TZor_AppServicesQt : public TZor_AppServices {
 public:
  TZor_AppServicesQt(TMainForm &form, int logId) : FForm(form), FLogId(logId) {}

  void ProcessMessages() override;
  void ShowSplash(const std::string &text) override;
  void HideSplash() override;
  bool Confirm(const std::string &text) override;
  void Notify(const std::string &text) override;
  void Beep() override;
  bool AskLogin(std::string &password) override;

 private:
  TMainForm &FForm;
  int FLogId;
};

}  // namespace zor
