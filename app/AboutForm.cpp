#include "app/AboutForm.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Zor_IP_Input.h"

namespace zor {

TFormAbout::TFormAbout(QWidget *parent)
    : QDialog(parent), LabelTitel(new QLabel(this)), LabelVersion(new QLabel(this)), LabelNotice(new QLabel(this)) {
  setWindowTitle("About");
  LabelTitel->setObjectName("LabelTitel");
  LabelVersion->setObjectName("LabelVersion");
  LabelNotice->setObjectName("LabelNotice");
  QFont titleFont = LabelTitel->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
  LabelTitel->setFont(titleFont);
  auto *layout = new QVBoxLayout(this);
  for (QLabel *label : {LabelTitel, LabelVersion, LabelNotice}) {
    label->setAlignment(Qt::AlignCenter);
    layout->addWidget(label);
  }
  connect(AddButtonRow(this, layout, false), &QPushButton::clicked, this, &QDialog::accept);
}

void TFormAbout::SetTitel(const std::string &titel) {
  FTitel = titel;
  LabelTitel->setText(QString::fromStdString(titel));
  setWindowTitle(QString::fromStdString("About " + titel));
}

void TFormAbout::SetVersion(const std::string &version) {
  FVersion = version;
  LabelVersion->setText(QString::fromStdString("Version " + version));
}

void TFormAbout::SetPeriod(const std::string &period) {
  FPeriod = period;
  LabelNotice->setText(QString::fromStdString("Copyright \u00A9 " + period + " " + FFirma + ". All rights reserved."));
}

}  // namespace zor
