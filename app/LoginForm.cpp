#include "app/LoginForm.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Zor_IP_Input.h"
#include "firmware/Uploader_Common.h"
#include "session/Zor_DialogState.h"

namespace zor {

TFormLogin::TFormLogin(QWidget *parent) : QDialog(parent), NumberInput(new QLineEdit(this)) {
  setWindowTitle("Remote login");
  NumberInput->setObjectName("NumberInput");
  NumberInput->setMaxLength(8);
  new TEditKeyFilter(NumberInput, session::HexInputChar);

  auto *layout = new QVBoxLayout(this);
  for (const char *line : {"Please enter password for remote login at your Zor ", "device", "(8 hex digits):"})
    layout->addWidget(new QLabel(line, this));
  layout->addWidget(NumberInput);
  connect(AddButtonRow(this, layout, true), &QPushButton::clicked, this, &TFormLogin::OkClick);
}

void TFormLogin::OkClick() {
  std::string errorText;
  const auto password = session::ParseHexInput(NumberInput->text().toStdString(), "Password input missing", errorText);
  if (!password) {
    ShowInputError(this, NumberInput, errorText);
    return;
  }
  FPassword = *password;
  accept();
}

std::string TFormLogin::GetPassword() const { return MakeLoginText(FPassword); }

}  // namespace zor
