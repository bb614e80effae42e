// "Set Device Hardware Feature": the hardware of a device that does not
// report it.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

class QCheckBox;
class QLabel;
class QRadioButton;

namespace zor {

class TFormHardFeature : public QDialog {
  Q_OBJECT
 public:
  explicit TFormHardFeature(QWidget *parent);

  // Shows `text` (the warning and the device's version) and selects "LUM"
  // without "Software Clock".
  void Reset(const std::string &text);
  void SetHardFeature(uint16_t value);
  uint16_t GetHardFeature() const;

 private:
  QLabel *LabelVersion = nullptr;
  QRadioButton *rbLUM = nullptr;
  QRadioButton *rbNorva = nullptr;
  QRadioButton *rbPelq = nullptr;
  QRadioButton *rbLUMNorva = nullptr;
  QCheckBox *cbSoftwareClock = nullptr;
};

}  // namespace zor
