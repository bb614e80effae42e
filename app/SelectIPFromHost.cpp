#include "app/SelectIPFromHost.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/Zor_IP_Input.h"

namespace zor {

TFormSelectIPFromHost::TFormSelectIPFromHost(QWidget *parent)
    : QDialog(parent),
      FLabel(new QLabel(this)),
      rgIPs(new QGroupBox("IPs", this)),
      FIPsLayout(new QVBoxLayout(rgIPs)),
      FIPButtons(new QButtonGroup(this)) {
  setWindowTitle(TSelectIPFromHost::Caption);
  rgIPs->setObjectName("rgIPs");
  auto *layout = new QVBoxLayout(this);
  layout->addWidget(FLabel);
  layout->addWidget(rgIPs);
  OkBtn = AddButtonRow(this, layout, true);
  OkBtn->setEnabled(false);

  connect(FIPButtons, &QButtonGroup::idClicked, this, [this](int index) {
    FState.rgIPsClick(index);
    OkBtn->setEnabled(FState.GetOkEnabled());
  });
  connect(OkBtn, &QPushButton::clicked, this, &QDialog::accept);
}

void TFormSelectIPFromHost::SetHost(const std::string &host) {
  FState.SetHost(host);
  FLabel->setText(QString::fromStdString(FState.GetLabelText()));
}

void TFormSelectIPFromHost::SetIPs(const std::vector<std::string> &ips) {
  FState.SetIPs(ips);
  for (QAbstractButton *button : FIPButtons->buttons()) {
    FIPButtons->removeButton(button);
    delete button;
  }
  int index = 0;
  for (const std::string &ip : FState.GetIPs()) {
    auto *button = new QRadioButton(QString::fromStdString(ip), rgIPs);
    FIPButtons->addButton(button, index++);
    FIPsLayout->addWidget(button);
  }
  OkBtn->setEnabled(FState.GetOkEnabled());
  adjustSize();
}

}  // namespace zor
