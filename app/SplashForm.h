// A borderless, always-on-top line of text while a network connection is made
// or closed.
#pragma once

#include <QWidget>
#include <string>

class QLabel;

namespace zor {

class TFormSplash : public QWidget {
  Q_OBJECT
 public:
  TFormSplash();
  void SetText(const std::string &text);
  QLabel *Label() const { return FLabel; }

 private:
  QLabel *FLabel = nullptr;
};

// Main thread only: calls from any other thread are ignored, so the engine's
// worker threads cannot touch widgets.
void ShowSplash(const std::string &text, int logId);
void HideSplash();
// The splash window while one is shown (tests); nullptr otherwise.
TFormSplash *CurrentSplash();

}  // namespace zor
