#include "app/AboutForm.h"

namespace zor {

TFormAbout::TFormAbout(QWidget *parent) : QDialog(parent) { setWindowTitle("About"); }
void TFormAbout::SetTitel(const std::string &titel) { FTitel = titel; }
void TFormAbout::SetVersion(const std::string &version) { FVersion = version; }
void TFormAbout::SetPeriod(const std::string &period) { FPeriod = period; }

}  // namespace zor
