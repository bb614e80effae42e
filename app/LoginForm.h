// "Remote login": the password of a network device.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

class QLineEdit;

namespace zor {

class TFormLogin : public QDialog {
  Q_OBJECT
 public:
  explicit TFormLogin(QWidget *parent);

  // The login text for the engine: the password scrambled with a fresh random
  // number, different on every call.
  std::string GetPassword() const;

 private:
  void OkClick();

  uint32_t FPassword = 0;
  QLineEdit *NumberInput = nullptr;
};

}  // namespace zor
