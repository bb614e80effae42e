// "About": title, version and copyright notice.
#pragma once

#include <QDialog>
#include <string>

class QLabel;

namespace zor {

class TFormAbout : public QDialog {
  Q_OBJECT
 public:
  explicit TFormAbout(QWidget *parent);

  // Title label and the caption "About " + title.
  void SetTitel(const std::string &titel);
  std::string GetTitel() const { return FTitel; }
  void SetVersion(const std::string &version);
  // The years of the copyright notice, e.g. "2005-2024".
  void SetPeriod(const std::string &period);

 private:
  std::string FTitel;
  std::string FVersion;
  std::string FPeriod;
  std::string FFirma = "Zor";
  QLabel *LabelTitel = nullptr;
  QLabel *LabelVersion = nullptr;
  QLabel *LabelNotice = nullptr;
};

}  // namespace zor
