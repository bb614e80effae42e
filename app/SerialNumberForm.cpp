#include "app/SerialNumberForm.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Zor_IP_Input.h"
#include "firmware/Uploader_Common.h"
#include "foundation/Zor_Utils.h"
#include "session/Zor_DialogState.h"

namespace zor {

TFormSerialNumber::TFormSerialNumber(QWidget *parent)
    : QDialog(parent),
      NumberInput(new QLineEdit(this)),
      PasswordInput(new QLineEdit(this)),
      cbDefault(new QCheckBox("Default", this)) {
  setWindowTitle("Unique Serial Number");
  NumberInput->setObjectName("NumberInput");
  PasswordInput->setObjectName("PasswordInput");
  cbDefault->setObjectName("cbDefault");
  cbDefault->setToolTip("Calculate password out of serial number");
  cbDefault->setChecked(true);
  for (QLineEdit *edit : {NumberInput, PasswordInput}) {
    edit->setMaxLength(8);
    new TEditKeyFilter(edit, session::HexInputChar);
  }

  auto *layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Please enter unique serial number for your Zor device", this));
  layout->addWidget(new QLabel("(up to 8 hex digits):", this));
  layout->addWidget(NumberInput);
  layout->addWidget(new QLabel("Please enter unique password for your Zor device", this));
  layout->addWidget(new QLabel("(8 hex digits):", this));
  layout->addWidget(PasswordInput);
  layout->addWidget(cbDefault);
  connect(AddButtonRow(this, layout, true), &QPushButton::clicked, this, &TFormSerialNumber::OkClick);

  // The password follows the number at once while "Default" is checked; a
  // password typed by hand ends that.
  connect(NumberInput, &QLineEdit::textChanged, this, &TFormSerialNumber::FillDefaultPassword);
  connect(cbDefault, &QCheckBox::toggled, this, [this](bool checked) {
    FDefaultPassword = checked;
    FillDefaultPassword();
  });
  connect(PasswordInput, &QLineEdit::textEdited, this, [this] { cbDefault->setChecked(false); });
}

void TFormSerialNumber::SetSerialNumber(uint32_t serialNumber) {
  FSerialNumber = serialNumber;
  FSerialNumberChanged = false;
  NumberInput->setText(serialNumber == 0xFFFFFFFF ? QString() : QString::fromStdString(IntToHex(serialNumber, 8)));
  FillDefaultPassword();
}

void TFormSerialNumber::FillDefaultPassword() {
  if (!FDefaultPassword) return;
  const auto number = ParsePassword(NumberInput->text().toStdString());
  PasswordInput->setText(number ? QString::fromStdString(IntToHex(session::DefaultPassword(*number), 8)) : QString());
}

void TFormSerialNumber::OkClick() {
  std::string errorText;
  const auto number =
      session::ParseHexInput(NumberInput->text().toStdString(), "unique serial number input missing", errorText);
  if (!number) return ShowInputError(this, NumberInput, errorText);
  const auto password =
      session::ParseHexInput(PasswordInput->text().toStdString(), "unique password input missing", errorText);
  if (!password) return ShowInputError(this, PasswordInput, errorText);
  FSerialNumberChanged = *number != FSerialNumber;
  FSerialNumber = *number;
  FPassword = *password;
  accept();
}

}  // namespace zor
