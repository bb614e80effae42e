#include "app/LoginForm.h"

#include "firmware/Uploader_Common.h"

namespace zor {

TFormLogin::TFormLogin(QWidget *parent) : QDialog(parent) { setWindowTitle("Remote login"); }
std::string TFormLogin::GetPassword() const { return MakeLoginText(FPassword); }

}  // namespace zor
