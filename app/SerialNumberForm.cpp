#include "app/SerialNumberForm.h"

namespace zor {

TFormSerialNumber::TFormSerialNumber(QWidget *parent) : QDialog(parent) { setWindowTitle("Unique Serial Number"); }
void TFormSerialNumber::SetSerialNumber(uint32_t serialNumber) { FSerialNumber = serialNumber; }

}  // namespace zor
