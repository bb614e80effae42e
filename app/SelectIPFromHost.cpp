#include "app/SelectIPFromHost.h"

namespace zor {

TFormSelectIPFromHost::TFormSelectIPFromHost(QWidget *parent) : QDialog(parent) { setWindowTitle("Select IP"); }
void TFormSelectIPFromHost::SetHost(const std::string &host) { FState.SetHost(host); }
void TFormSelectIPFromHost::SetIPs(const std::vector<std::string> &ips) { FState.SetIPs(ips); }

}  // namespace zor
