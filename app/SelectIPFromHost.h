// "Select IP": the choice among the addresses of a host name that has several.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "net/NetUtils.h"

class QButtonGroup;
class QGroupBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace zor {

class TFormSelectIPFromHost : public QDialog {
  Q_OBJECT
 public:
  explicit TFormSelectIPFromHost(QWidget *parent);

  void SetHost(const std::string &host);
  // New choices, none chosen, "Ok" disabled until one is.
  void SetIPs(const std::vector<std::string> &ips);
  // The chosen address; empty while none is chosen.
  std::string GetIP() const { return FState.GetIP(); }

 private:
  TSelectIPFromHost FState;
  QLabel *FLabel = nullptr;
  QGroupBox *rgIPs = nullptr;
  QVBoxLayout *FIPsLayout = nullptr;
  QButtonGroup *FIPButtons = nullptr;
  QPushButton *OkBtn = nullptr;
};

}  // namespace zor
