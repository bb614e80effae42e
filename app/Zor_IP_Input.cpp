#include "app/Zor_IP_Input.h"

#include <QLineEdit>

#include "app/SelectIPFromHost.h"

namespace zor {

TEditKeyFilter::TEditKeyFilter(QLineEdit *edit, TMap map) : QObject(edit), FEdit(edit), FMap(map) {}
bool TEditKeyFilter::eventFilter(QObject *watched, QEvent *event) { return QObject::eventFilter(watched, event); }
TCharValidator::TCharValidator(TEditKeyFilter::TMap map, QObject *parent) : QValidator(parent), FMap(map) {}
QValidator::State TCharValidator::validate(QString &, int &) const { return Acceptable; }

TFormIpInput::TFormIpInput(QWidget *parent) : QDialog(parent) { setWindowTitle("Connect to Remote Device"); }
void TFormIpInput::SetIpInput(const std::string &text) { FSaveInput = text; }
std::string TFormIpInput::GetIpInput() const { return FSaveInput; }
void TFormIpInput::reject() { QDialog::reject(); }

}  // namespace zor
