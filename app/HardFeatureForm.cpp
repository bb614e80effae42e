#include "app/HardFeatureForm.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/Zor_IP_Input.h"
#include "session/Zor_DialogState.h"

namespace zor {

using session::THardware;

TFormHardFeature::TFormHardFeature(QWidget *parent)
    : QDialog(parent),
      LabelVersion(new QLabel(this)),
      rbLUM(new QRadioButton("LUM", this)),
      rbNorva(new QRadioButton("Norva", this)),
      rbPelq(new QRadioButton("Pelq", this)),
      rbLUMNorva(new QRadioButton("LUM and Norva", this)),
      cbSoftwareClock(new QCheckBox("Software Clock", this)) {
  setWindowTitle("Set Device Hardware Feature");
  LabelVersion->setObjectName("LabelVersion");
  cbSoftwareClock->setObjectName("cbSoftwareClock");
  auto *group = new QButtonGroup(this);
  auto *layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Please select device hardware:", this));
  for (QRadioButton *button : {rbLUM, rbNorva, rbPelq, rbLUMNorva}) {
    group->addButton(button);
    layout->addWidget(button);
  }
  layout->addWidget(cbSoftwareClock);
  layout->addWidget(new QLabel("WARNING:", this));
  layout->addWidget(new QLabel("If you are not sure, please press Cancel and contact Zor!", this));
  layout->addWidget(LabelVersion);
  connect(AddButtonRow(this, layout, true), &QPushButton::clicked, this, &QDialog::accept);
  rbLUM->setChecked(true);
}

void TFormHardFeature::Reset(const std::string &text) {
  LabelVersion->setText(QString::fromStdString(text));
  rbLUM->setChecked(true);
  cbSoftwareClock->setChecked(false);
}

void TFormHardFeature::SetHardFeature(uint16_t value) {
  switch (session::HardwareOf(value)) {
    case THardware::Lum: rbLUM->setChecked(true); break;
    case THardware::Norva: rbNorva->setChecked(true); break;
    case THardware::Pelq: rbPelq->setChecked(true); break;
    case THardware::LumAndNorva: rbLUMNorva->setChecked(true); break;
  }
  cbSoftwareClock->setChecked(value & session::HardFeatureSoftwareClock);
}

uint16_t TFormHardFeature::GetHardFeature() const {
  THardware hardware = THardware::Lum;
  if (rbNorva->isChecked()) hardware = THardware::Norva;
  if (rbPelq->isChecked()) hardware = THardware::Pelq;
  if (rbLUMNorva->isChecked()) hardware = THardware::LumAndNorva;
  return session::HardFeatureOf(hardware, cbSoftwareClock->isChecked());
}

}  // namespace zor
