#include "app/SplashForm.h"

#include <QLabel>

namespace zor {

TFormSplash::TFormSplash() : QWidget(nullptr), FLabel(new QLabel(this)) {}
void TFormSplash::SetText(const std::string &text) { FLabel->setText(QString::fromStdString(text)); }
void ShowSplash(const std::string &, int) {}
void HideSplash() {}
TFormSplash *CurrentSplash() { return nullptr; }

}  // namespace zor
