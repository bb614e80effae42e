#include "app/Zor_AppServicesQt.h"

#include <QApplication>
#include <QCoreApplication>

#include "app/SplashForm.h"
#include "app/Zor_FW_Main.h"

namespace zor {

void TZor_AppServicesQt::ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TZor_AppServicesQt::ShowSplash(const std::string &text) { zor::ShowSplash(text, FLogId); }

void TZor_AppServicesQt::HideSplash() { zor::HideSplash(); }

bool TZor_AppServicesQt::Confirm(const std::string &text) { return FForm.AskYesNo(QString::fromStdString(text)); }

void TZor_AppServicesQt::Notify(const std::string &text) { FForm.ShowNotice(QString::fromStdString(text)); }

void TZor_AppServicesQt::Beep() { QApplication::beep(); }

bool TZor_AppServicesQt::AskLogin(std::string &password) { return FForm.AskLogin(password); }

}  // namespace zor
