#include "app/Zor_IP_Input.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/SelectIPFromHost.h"
#include "foundation/LogUnit.h"
#include "session/Zor_DialogState.h"

namespace zor {

TEditKeyFilter::TEditKeyFilter(QLineEdit *edit, TMap map) : QObject(edit), FEdit(edit), FMap(map) {
  edit->installEventFilter(this);
  edit->setValidator(new TCharValidator(map, edit));
}

bool TEditKeyFilter::eventFilter(QObject *watched, QEvent *event) {
  if (watched != FEdit || event->type() != QEvent::KeyPress) return false;
  const auto *key = static_cast<QKeyEvent *>(event);
  switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (OnAnyKey) OnAnyKey();
      if (!OnEnter) return false;
      OnEnter();
      return true;
    case Qt::Key_Escape:
    case Qt::Key_Backspace:
      if (OnAnyKey) OnAnyKey();
      return false;
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return false;
    default: break;
  }
  // Shortcuts (copy, paste, undo) and keys without a character pass; the
  // validator keeps pasted text to the same rules.
  if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
  const QString text = key->text();
  if (text.isEmpty() || !text.at(0).isPrint()) return false;
  if (OnAnyKey) OnAnyKey();
  const std::string typed = text.toStdString();
  std::string mapped = typed;
  if (!session::MapInputText(mapped, FMap)) {
    QApplication::beep();
    if (OnRefused) OnRefused(typed);
    return true;
  }
  if (mapped == typed) return false;
  FEdit->insert(QString::fromStdString(mapped));
  return true;
}

TCharValidator::TCharValidator(TEditKeyFilter::TMap map, QObject *parent) : QValidator(parent), FMap(map) {}

QValidator::State TCharValidator::validate(QString &input, int &) const {
  std::string text = input.toStdString();
  if (!session::MapInputText(text, FMap)) return Invalid;
  // Mapping keeps the length (ASCII only), so the cursor stays valid.
  input = QString::fromStdString(text);
  return Acceptable;
}

QPushButton *AddButtonRow(QDialog *dialog, QVBoxLayout *layout, bool withCancel) {
  auto *row = new QHBoxLayout;
  row->addStretch();
  auto *ok = new QPushButton("Ok", dialog);
  ok->setObjectName("OkBtn");
  ok->setDefault(true);
  row->addWidget(ok);
  if (withCancel) {
    auto *cancel = new QPushButton("Cancel", dialog);
    cancel->setObjectName("CancelBtn");
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    row->addWidget(cancel);
  }
  layout->addLayout(row);
  return ok;
}

void ShowInputError(QWidget *parent, QLineEdit *edit, const std::string &text) {
  QMessageBox::warning(parent, parent->windowTitle(), QString::fromStdString(text));
  edit->setFocus();
}

TFormIpInput::TFormIpInput(QWidget *parent)
    : QDialog(parent),
      RemoteIP(new QLineEdit(this)),
      LabelRemoteIPError(new QLabel(this)),
      FSelectIP(new TFormSelectIPFromHost(this)) {
  setWindowTitle("Connect to Remote Device");
  RemoteIP->setObjectName("RemoteIP");
  LabelRemoteIPError->setObjectName("LabelRemoteIPError");
  QPalette errorPalette = LabelRemoteIPError->palette();
  errorPalette.setColor(QPalette::WindowText, Qt::red);
  LabelRemoteIPError->setPalette(errorPalette);

  auto *layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Device IP or LUM2 host name:", this));
  layout->addWidget(RemoteIP);
  layout->addWidget(LabelRemoteIPError);
  QPushButton *ok = AddButtonRow(this, layout, true);

  auto *filter = new TEditKeyFilter(RemoteIP, session::IpInputChar);
  // Red until the input is confirmed or given up.
  filter->OnAnyKey = [this] { SetInputColor(true); };
  filter->OnEnter = [this] { RemoteIPEnter(); };
  filter->OnRefused = [this](const std::string &key) {
    LogErr(FLogId, "RemoteIPKeyPress: ungültiges Zeichen=" + key);
  };
  connect(ok, &QPushButton::clicked, this, &TFormIpInput::OkClick);
}

void TFormIpInput::SetIpInput(const std::string &text) {
  LogText(FLogId, "TFormIpInput.SetIpInput " + text);
  FSaveInput = text;
  RemoteIP->setText(QString::fromStdString(text));
  SetInputColor(false);
}

std::string TFormIpInput::GetIpInput() const { return RemoteIP->text().toStdString(); }

void TFormIpInput::SetInputColor(bool edited) {
  QPalette palette = RemoteIP->palette();
  palette.setColor(QPalette::Text, edited ? QColor(Qt::red) : QApplication::palette(RemoteIP).color(QPalette::Text));
  RemoteIP->setPalette(palette);
}

bool TFormIpInput::CheckRemoteIP() {
  FDeviceHost.clear();
  FDeviceIP.clear();
  const auto choose = [this](const std::string &host, const std::vector<std::string> &ips) {
    FSelectIP->SetHost(host);
    FSelectIP->SetIPs(ips);
    return FSelectIP->exec() == QDialog::Accepted ? FSelectIP->GetIP() : std::string();
  };
  const session::TRemoteIPCheck check = session::CheckRemoteIP(GetIpInput(), choose, FLogId);
  FDeviceHost = check.DeviceHost;
  FDeviceIP = check.DeviceIP;
  FRemoteIPError = check.ErrorText;
  LabelRemoteIPError->setText(QString::fromStdString(FRemoteIPError));
  if (!check.Accepted) RemoteIP->setFocus();
  return check.Accepted;
}

void TFormIpInput::OkClick() {
  if (!CheckRemoteIP()) return;
  FSaveInput = GetIpInput();
  SetInputColor(false);
  accept();
}

// Enter confirms like "Ok", so a typed name is resolved (and a choice among
// several addresses asked for) only once.
void TFormIpInput::RemoteIPEnter() {
  if (!CheckRemoteIP()) {
    QApplication::beep();
    LogErr(FLogId, "RemoteIPKeyPress.Enter: ungültigeEingabe=" + GetIpInput());
    return;
  }
  SetInputColor(false);
  LogText(FLogId, "RemoteIPKeyPress.Enter: FDeviceHost=" + FDeviceHost + " FDeviceIP=" + FDeviceIP);
  FSaveInput = GetIpInput();
  accept();
}

void TFormIpInput::reject() {
  RemoteIP->setText(QString::fromStdString(FSaveInput));
  SetInputColor(false);
  FRemoteIPError.clear();
  LabelRemoteIPError->clear();
  QDialog::reject();
}

}  // namespace zor
