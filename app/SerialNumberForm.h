// "Unique Serial Number": a new serial number and password for a device.
#pragma once

#include <QDialog>
#include <cstdint>

class QCheckBox;
class QLineEdit;

namespace zor {

class TFormSerialNumber : public QDialog {
  Q_OBJECT
 public:
  explicit TFormSerialNumber(QWidget *parent);

  // Pre-fills the number (0xFFFFFFFF: none known).
  void SetSerialNumber(uint32_t serialNumber);
  uint32_t GetSerialNumber() const { return FSerialNumber; }
  uint32_t GetPassword() const { return FPassword; }
  // OK gave a number other than the pre-filled one.
  bool GetSerialNumberChanged() const { return FSerialNumberChanged; }

 private:
  void OkClick();
  void FillDefaultPassword();

  uint32_t FSerialNumber = 0xFFFFFFFF;
  uint32_t FPassword = 0;
  bool FSerialNumberChanged = false;
  bool FDefaultPassword = true;
  QLineEdit *NumberInput = nullptr;
  QLineEdit *PasswordInput = nullptr;
  QCheckBox *cbDefault = nullptr;
};

}  // namespace zor
