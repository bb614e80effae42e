// "Connect to Remote Device": the address or host name of a network device.
// Also home of the key filter the dialogs' one-line edits share.
#pragma once

#include <QDialog>
#include <QValidator>
#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace zor {

class TFormSelectIPFromHost;

// Key filter of a one-line edit. A typed character goes through `map` (0
// refuses it: dropped with a beep); Backspace, Delete, Tab, keys without text
// and shortcuts pass. Enter and Escape go to their hooks when set, else on
// to the dialog (default button, Cancel).
class TEditKeyFilter : public QObject {
  Q_OBJECT
 public:
  using TMap = char (*)(char);
  TEditKeyFilter(QLineEdit *edit, TMap map);

  std::function<void()> OnAnyKey;                         // before anything else
  std::function<void()> OnEnter;                          // consumes Enter
  std::function<void(const std::string &key)> OnRefused;  // after the beep

 protected:
  bool eventFilter(QObject *watched, QEvent *event) override;

 private:
  QLineEdit *FEdit;
  TMap FMap;
};

// Keeps pasted or dropped text to the same rules as typed keys.
class TCharValidator : public QValidator {
  Q_OBJECT
 public:
  TCharValidator(TEditKeyFilter::TMap map, QObject *parent);
  State validate(QString &input, int &pos) const override;

 private:
  TEditKeyFilter::TMap FMap;
};

// The button row at the foot of a dialog: "Ok" (default, named OkBtn, its
// check left to the dialog) and, if wanted, "Cancel" (CancelBtn, rejects).
QPushButton *AddButtonRow(QDialog *dialog, QVBoxLayout *layout, bool withCancel);
// A refused input: a message box over `parent`, focus back to `edit`.
void ShowInputError(QWidget *parent, QLineEdit *edit, const std::string &text);

class TFormIpInput : public QDialog {
  Q_OBJECT
 public:
  explicit TFormIpInput(QWidget *parent);

  void SetLogId(int logId) { FLogId = logId; }
  // Pre-fills the edit and remembers the text as the last accepted input.
  void SetIpInput(const std::string &text);
  std::string GetIpInput() const;
  // The result after OK: the host name (empty for an address or a choice
  // among several addresses) and the address.
  std::string GetDeviceHost() const { return FDeviceHost; }
  std::string GetDeviceIP() const { return FDeviceIP; }

  // Cancel, Escape and closing the window bring back the last accepted input.
  void reject() override;

 private:
  bool CheckRemoteIP();
  void OkClick();
  void RemoteIPEnter();
  void SetInputColor(bool edited);

  int FLogId = -1;
  std::string FDeviceHost;
  std::string FDeviceIP;
  std::string FRemoteIPError;
  std::string FSaveInput;

  QLineEdit *RemoteIP = nullptr;
  QLabel *LabelRemoteIPError = nullptr;
  TFormSelectIPFromHost *FSelectIP = nullptr;
};

}  // namespace zor
