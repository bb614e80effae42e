#include "app/HardFeatureForm.h"

namespace zor {

TFormHardFeature::TFormHardFeature(QWidget *parent) : QDialog(parent) {
  setWindowTitle("Set Device Hardware Feature");
}
void TFormHardFeature::Reset(const std::string &) {}
void TFormHardFeature::SetHardFeature(uint16_t) {}
uint16_t TFormHardFeature::GetHardFeature() const { return 1; }

}  // namespace zor
