// The configuration panel of the main window: one set of groups per device
// family, the marking of edited items, the key rules of the fields and the
// record built from the marked items.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/Zor_FW_Main.h"
#include "app/Zor_IP_Input.h"
#include "firmware/Zor_ConfigChecks.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "session/Zor_DialogState.h"

namespace zor {

namespace {

constexpr const char *EditedProperty = "zorEdited";

std::string Str(const QString &text) { return text.toStdString(); }
QString Q(const std::string &text) { return QString::fromStdString(text); }

// Key rules of the fields: the character taken for a typed one, 0 refused.
char AddressChar(char c) { return (c >= '0' && c <= '9') || c == '.' ? c : c == ',' ? '.' : 0; }
char NickNameChar(char c) { return c == ',' || c == '.' || c == ':' ? 0 : c; }
char HostNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ? c : 0;
}
char DigitChar(char c) { return c >= '0' && c <= '9' ? c : 0; }

QComboBox *MakeCombo(QWidget *parent, const auto &texts) {
  auto *combo = new QComboBox(parent);
  for (const char *t : texts) combo->addItem(t);
  return combo;
}

}  // namespace

// ---- edit marking ---------------------------------------------------------------------------------

void TMainForm::SetEdited(QWidget *w, bool edited) {
  if (!w || w->property(EditedProperty).toBool() == edited) return;
  w->setProperty(EditedProperty, edited);
  QPalette p = w->palette();
  const QPalette normal = QApplication::palette(w);
  for (QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
    p.setColor(role, edited ? QColor(255, 0, 0) : normal.color(role));
  w->setPalette(p);
}

bool TMainForm::IsEdited(const QWidget *w) { return w && w->property(EditedProperty).toBool(); }

// ---- panel ------------------------------------------------------------------------------------------

void TMainForm::CreateConfigPanel(QWidget *parent) {
  ConfigPanel = new QWidget(parent);
  auto *grid = new QGridLayout(ConfigPanel);
  grid->setContentsMargins(0, 0, 0, 0);

  auto lineEdit = [this](QWidget *owner, int maxLength, const char *hint, char (*map)(char), const char *name) {
    auto *edit = new QLineEdit(owner);
    edit->setObjectName(name);
    edit->setMaxLength(maxLength);
    if (hint) edit->setToolTip(hint);
    if (map) {
      // The dialogs' key filter drops and beeps; ours, installed later and
      // so asked first, takes Escape back to the stored value.
      new TEditKeyFilter(edit, map);
      edit->setValidator(new TCharValidator(map, edit));
    }
    edit->installEventFilter(this);
    connect(edit, &QLineEdit::textEdited, this, [edit] { SetEdited(edit, true); });
    return edit;
  };
  auto addressRow = [&](QGridLayout *g, int row, const char *caption, QLineEdit *&edit, const char *hint,
                        const char *name, QLabel **label) {
    auto *l = new QLabel(caption, g->parentWidget());
    if (label) *label = l;
    g->addWidget(l, row, 0);
    edit = lineEdit(g->parentWidget(), 15, hint, AddressChar, name);
    g->addWidget(edit, row, 1);
  };
  const char *ipHint = "IPv4 address of Zor device, must be quad-dotted-decimal notation";
  const char *maskHint = "Subnetmask of local network, must be quad-dotted-decimal notation";
  const char *gwHint = "Standard gateway of local network, must be quad-dotted-decimal notation";

  CFgbIP = new QGroupBox("IP configuration", ConfigPanel);
  auto *cfIp = new QGridLayout(CFgbIP);
  addressRow(cfIp, 0, "IP address", CFIpAddressEdit, ipHint, "CFIpAddressEdit", nullptr);
  addressRow(cfIp, 1, "Subnetmask", CFSubnetmaskEdit, maskHint, "CFSubnetmaskEdit", nullptr);
  addressRow(cfIp, 2, "Standard gateway", CFGatewayEdit, gwHint, "CFGatewayEdit", nullptr);

  ESPgbIP = new QGroupBox("IP configuration", ConfigPanel);
  auto *espIp = new QGridLayout(ESPgbIP);
  espIp->addWidget(new QLabel("LUM2 host name", ESPgbIP), 0, 0);
  HostNameEdit = lineEdit(ESPgbIP, int(MaxHostNameLength), "Host name of Zor LUM2 device, permitted characters: a..z, A..Z, 0..9, -",
                          HostNameChar, "HostNameEdit");
  espIp->addWidget(HostNameEdit, 0, 1);
  espIp->addWidget(new QLabel("english letters, digits and - ", ESPgbIP), 1, 1);
  RadioDHCP = new QRadioButton("dynamic IP address (DHCP)", ESPgbIP);
  RadioStatic = new QRadioButton("static IP address", ESPgbIP);
  espIp->addWidget(RadioDHCP, 2, 0, 1, 2);
  espIp->addWidget(RadioStatic, 3, 0, 1, 2);
  addressRow(espIp, 4, "IP address", ESPIpAddressEdit, ipHint, "ESPIpAddressEdit", &LabelESPIpAddress);
  addressRow(espIp, 5, "Subnetmask", ESPSubnetmaskEdit, maskHint, "ESPSubnetmaskEdit", &LabelESPSubnetmask);
  addressRow(espIp, 6, "Standard gateway", ESPGatewayEdit, gwHint, "ESPGatewayEdit", &LabelESPGateway);
  connect(RadioDHCP, &QRadioButton::clicked, this, [this] { RaioIPClick(); });
  connect(RadioStatic, &QRadioButton::clicked, this, [this] { RaioIPClick(); });

  gbCAN = new QGroupBox("CAN", ConfigPanel);
  auto *can = new QGridLayout(gbCAN);
  auto canRow = [&](int row, const char *caption, QLineEdit *&edit, QCheckBox *&ext, const char *hint,
                    const char *extHint, const char *name) {
    can->addWidget(new QLabel(caption, gbCAN), row, 0);
    edit = lineEdit(gbCAN, 8, hint, session::HexInputChar, name);
    can->addWidget(edit, row, 1);
    ext = new QCheckBox("Extended Format", gbCAN);
    ext->setToolTip(extHint);
    can->addWidget(ext, row, 2);
    connect(ext, &QCheckBox::clicked, this, [this, ext] { CheckBoxCANClick(ext); });
  };
  canRow(0, "CAN Receive ID", CANRxIDEdit, cbCANRxExtended,
         "Zor device receives CAN frames with this CAN ID; up to 8 hex chars", "CAN receive ID is in extended format",
         "CANRxIDEdit");
  canRow(1, "CAN Transmit ID", CANTxIDEdit, cbCANTxExtended,
         "Zor device transmits CAN frames with this CAN ID; up to 8 hex chars",
         "CAN transmit ID is in extended format", "CANTxIDEdit");

  CFgbNickName = new QGroupBox("Nick name", ConfigPanel);
  auto *nick = new QVBoxLayout(CFgbNickName);
  NickNameEdit = lineEdit(CFgbNickName, int(MaxNickNameLength), "Nickname of Zor device; part of USB serial number",
                          NickNameChar, "NickNameEdit");
  nick->addWidget(NickNameEdit);
  nick->addWidget(new QLabel("up to 40 chars without comma, dot, and colon (,.:)", CFgbNickName));

  ESPgbSerial = new QGroupBox("Serial", ConfigPanel);
  auto *serial = new QGridLayout(ESPgbSerial);
  serial->addWidget(new QLabel("Baud rate", ESPgbSerial), 0, 0);
  BaudRateEdit = lineEdit(ESPgbSerial, 10, "must be a multiple of 100", DigitChar, "BaudRateEdit");
  serial->addWidget(BaudRateEdit, 0, 1);

  ESPgbHard = new QGroupBox("Start condition", ConfigPanel);
  auto *hard = new QGridLayout(ESPgbHard);
  RadioHardDefault = new QRadioButton("default", ESPgbHard);
  RadioHardUser = new QRadioButton("User defined", ESPgbHard);
  hard->addWidget(RadioHardDefault, 0, 0);
  hard->addWidget(RadioHardUser, 0, 1);
  LabelHardMode = new QLabel("Reportmode", ESPgbHard);
  comboHardMode = MakeCombo(ESPgbHard, ReportModeTexts);
  LabelHardIntervall = new QLabel("Reportintervall", ESPgbHard);
  comboHardIntervall = MakeCombo(ESPgbHard, ReportIntervalTexts);
  LabelHardSpecial = new QLabel("Special", ESPgbHard);
  cbHard = MakeCombo(ESPgbHard, RefErrorTexts);
  hard->addWidget(LabelHardMode, 1, 0);
  hard->addWidget(comboHardMode, 1, 1);
  hard->addWidget(LabelHardIntervall, 2, 0);
  hard->addWidget(comboHardIntervall, 2, 1);
  hard->addWidget(LabelHardSpecial, 3, 0);
  hard->addWidget(cbHard, 3, 1);
  connect(RadioHardDefault, &QRadioButton::clicked, this, [this] { RadioHardClick(); });
  connect(RadioHardUser, &QRadioButton::clicked, this, [this] { RadioHardClick(); });

  ESPgbPPI = new QGroupBox("PPI", ConfigPanel);
  auto *ppi = new QGridLayout(ESPgbPPI);
  cbPPIUser = new QCheckBox("User dependend", ESPgbPPI);
  LabelPPIInterval = new QLabel("Interval", ESPgbPPI);
  comboPPIInterval = MakeCombo(ESPgbPPI, PPIIntervalTexts);
  LabelPPIoffset = new QLabel("Offset [ms]", ESPgbPPI);
  PPIoffsetEdit = lineEdit(ESPgbPPI, 5, nullptr, DigitChar, "PPIoffsetEdit");
  ppi->addWidget(cbPPIUser, 0, 0, 1, 2);
  ppi->addWidget(LabelPPIInterval, 1, 0);
  ppi->addWidget(comboPPIInterval, 1, 1);
  ppi->addWidget(LabelPPIoffset, 2, 0);
  ppi->addWidget(PPIoffsetEdit, 2, 1);
  connect(cbPPIUser, &QCheckBox::clicked, this, [this] { CheckBoxClick(cbPPIUser); });

  for (QComboBox *combo : {comboHardMode, comboHardIntervall, cbHard, comboPPIInterval})
    connect(combo, QOverload<int>::of(&QComboBox::activated), this, [this, combo](int) { ComboChange(combo); });

  grid->addWidget(CFgbIP, 0, 0);
  grid->addWidget(ESPgbIP, 0, 0);
  grid->addWidget(gbCAN, 0, 1);
  grid->addWidget(CFgbNickName, 1, 0, 1, 2);
  grid->addWidget(ESPgbSerial, 1, 0);
  grid->addWidget(ESPgbPPI, 1, 1);
  grid->addWidget(ESPgbHard, 2, 0, 1, 2);
  ShowFamilyGroups(false);
}

void TMainForm::ShowFamilyGroups(bool esp) {
  CFgbIP->setVisible(!esp);
  CFgbNickName->setVisible(!esp);
  ESPgbIP->setVisible(esp);
  const TZor_FlashVariables &f = FFlashVariablesRead;
  const int firmware = FUpdater ? FUpdater->GetFirmwareVersion() : -1;
  gbCAN->setVisible(!esp || f.IsHardESPCAN());
  ESPgbSerial->setVisible(esp && f.IsHardESPserial());
  ESPgbHard->setVisible(esp && firmware > 108);
  ESPgbPPI->setVisible(esp && firmware > 113);
  IpAddressEdit = esp ? ESPIpAddressEdit : CFIpAddressEdit;
  SubnetmaskEdit = esp ? ESPSubnetmaskEdit : CFSubnetmaskEdit;
  GatewayEdit = esp ? ESPGatewayEdit : CFGatewayEdit;
}

void TMainForm::ClearConfigFields() {
  for (QLineEdit *e : {CFIpAddressEdit, CFSubnetmaskEdit, CFGatewayEdit, HostNameEdit, ESPIpAddressEdit,
                       ESPSubnetmaskEdit, ESPGatewayEdit, CANRxIDEdit, CANTxIDEdit, NickNameEdit, BaudRateEdit,
                       PPIoffsetEdit}) {
    e->clear();
    SetEdited(e, false);
  }
  for (QWidget *w : std::initializer_list<QWidget *>{RadioDHCP, RadioStatic, cbCANRxExtended, cbCANTxExtended,
                                                     RadioHardDefault, RadioHardUser, LabelHardMode,
                                                     LabelHardIntervall, LabelHardSpecial, cbPPIUser,
                                                     LabelPPIInterval})
    SetEdited(w, false);
  cbCANRxExtended->setChecked(false);
  cbCANTxExtended->setChecked(false);
  cbPPIUser->setChecked(false);
}

// ---- showing a configuration ------------------------------------------------------------------------

void TMainForm::DisplayConfig() {
  const TZor_FlashVariables &f = FFlashVariablesRead;
  ClearConfigFields();
  IpAddressEdit->setText(Q(f.IPAddress));
  SubnetmaskEdit->setText(Q(f.Subnetmask));
  GatewayEdit->setText(Q(f.Gateway));
  CANRxIDEdit->setText(Q(IntToHex(f.CANRxID & ~CANExtendedBit, 8)));
  cbCANRxExtended->setChecked((f.CANRxID & CANExtendedBit) != 0);
  CANTxIDEdit->setText(Q(IntToHex(f.CANTxID & ~CANExtendedBit, 8)));
  cbCANTxExtended->setChecked((f.CANTxID & CANExtendedBit) != 0);
  const bool esp = BaseDevice() && BaseDevice()->GetPeerType() == ptESP;
  if (esp)
    DisplayUpdateConfigESP();
  else
    NickNameEdit->setText(Q(f.NickName));
  cbHard->setCurrentIndex(std::min<int>(f.GetHardRefError(), cbHard->count() - 1));
  cbPPIUser->setChecked(f.GetPPIuserDependend());
  comboPPIInterval->setCurrentIndex(std::min<int>(f.GetPPIintervalIndex(), comboPPIInterval->count() - 1));
  PPIoffsetEdit->setText(QString::number(f.GetPPIoffset()));
}

void TMainForm::DisplayUpdateConfigESP() {
  const TZor_FlashVariables &f = FFlashVariablesRead;
  HostNameEdit->setText(Q(f.NickName));
  (f.IsHardESPstaticIP() ? RadioStatic : RadioDHCP)->setChecked(true);
  RaioIPClick();
  if (f.NickName.empty() || f.NickName.rfind("a0123456789", 0) == 0) {
    Log("TMainForm.DisplayUpdateConfigESP old=" + f.NickName + "new=Zor-LUM2");
    HostNameEdit->setText("Zor-LUM2");
    SetEdited(HostNameEdit, true);
    cbUpdateConfiguration->setChecked(true);
  }
  if (f.IsHardESPserial()) {
    uint64_t baud = f.GetESPBaudRate();
    BaudRateEdit->setText(QString::number(baud == 0 ? 115200 : baud));
    if (baud == 0) {
      Log("TMainForm.DisplayUpdateConfigESP BaudRate old=0 new=115200");
      SetEdited(BaudRateEdit, true);
      cbUpdateConfiguration->setChecked(true);
    }
  }
  std::optional<TZor_StartSetting> start = DecodeStartSetting(f.GetHard24_31());
  if (start && start->UserDefined) {
    RadioHardUser->setChecked(true);
    comboHardMode->setCurrentIndex(start->Mode);
    comboHardIntervall->setCurrentIndex(start->Interval);
  } else {
    // Unset, or a code no list can show: the device's default.
    RadioHardDefault->setChecked(true);
    comboHardMode->setCurrentIndex(1);
    comboHardIntervall->setCurrentIndex(9);
  }
  RadioHardClick();
}

// ---- edit tracking -------------------------------------------------------------------------------------

bool TMainForm::eventFilter(QObject *watched, QEvent *event) {
  auto *edit = qobject_cast<QLineEdit *>(watched);
  if (edit && event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
    RestoreField(edit);
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void TMainForm::RestoreField(QLineEdit *edit) {
  const TZor_FlashVariables &f = FFlashVariablesRead;
  if (edit == CANRxIDEdit || edit == CANTxIDEdit) {
    const bool rx = edit == CANRxIDEdit;
    const uint32_t id = rx ? f.CANRxID : f.CANTxID;
    edit->setText(Q(IntToHex(id & ~CANExtendedBit, 8)));
    QCheckBox *ext = rx ? cbCANRxExtended : cbCANTxExtended;
    ext->setChecked((id & CANExtendedBit) != 0);
    SetEdited(ext, false);
  } else if (edit == IpAddressEdit) {
    edit->setText(Q(f.IPAddress));
  } else if (edit == SubnetmaskEdit) {
    edit->setText(Q(f.Subnetmask));
  } else if (edit == GatewayEdit) {
    edit->setText(Q(f.Gateway));
  } else if (edit == BaudRateEdit) {
    edit->setText(QString::number(f.GetESPBaudRate()));
  } else if (edit == NickNameEdit || edit == HostNameEdit) {
    edit->setText(Q(f.NickName));
  } else if (edit == PPIoffsetEdit) {
    edit->setText(QString::number(f.GetPPIoffset()));
  } else {
    edit->clear();
  }
  SetEdited(edit, false);
}

void TMainForm::RaioIPClick() {
  const bool stored = FFlashVariablesRead.IsHardESPstaticIP();
  QRadioButton *radio = RadioStatic->isChecked() ? RadioStatic : RadioDHCP;
  Log("TMainForm.RaioIPClick Radio=" + Str(radio->text()) + " IsHardESPstaticIP=" + (stored ? "True" : "False"));
  const bool isStatic = RadioStatic->isChecked();
  for (QWidget *w : std::initializer_list<QWidget *>{LabelESPIpAddress, LabelESPSubnetmask, LabelESPGateway,
                                                     ESPIpAddressEdit, ESPSubnetmaskEdit, ESPGatewayEdit})
    w->setEnabled(isStatic);
  SetEdited(RadioStatic, isStatic && !stored);
  SetEdited(RadioDHCP, !isStatic && stored);
}

void TMainForm::RadioHardClick() {
  const bool storedDefault = FFlashVariablesRead.GetHard24_31() == 0;
  const bool user = RadioHardUser->isChecked();
  SetEdited(RadioHardDefault, !user && !storedDefault);
  SetEdited(RadioHardUser, user && storedDefault);
  for (QWidget *w : std::initializer_list<QWidget *>{LabelHardMode, comboHardMode, LabelHardIntervall,
                                                     comboHardIntervall})
    w->setEnabled(user);
}

void TMainForm::CheckBoxCANClick(QCheckBox *box) {
  const uint32_t id = box == cbCANRxExtended ? FFlashVariablesRead.CANRxID : FFlashVariablesRead.CANTxID;
  SetEdited(box, box->isChecked() != ((id & CANExtendedBit) != 0));
}

void TMainForm::ComboChange(QComboBox *combo) {
  QLabel *label = combo == comboPPIInterval ? LabelPPIInterval
                  : combo == comboHardMode  ? LabelHardMode
                  : combo == comboHardIntervall ? LabelHardIntervall
                                                : LabelHardSpecial;
  SetEdited(label, true);
}

void TMainForm::CheckBoxClick(QCheckBox *box) {
  Log("TMainForm.CheckBoxClick " + Str(box->objectName().isEmpty() ? box->text() : box->objectName()));
  if (box == cbPPIUser) {
    SetEdited(cbPPIUser, cbPPIUser->isChecked() != FFlashVariablesRead.GetPPIuserDependend());
    return;
  }
  if (box == cbUpdateBootloader && box->isChecked()) cbUpdateFirmware->setChecked(false);
  if (box == cbUpdateFirmware && box->isChecked()) cbUpdateBootloader->setChecked(false);
  const bool fileNeeded = (cbUpdateFirmware->isChecked() && !cbSwitchFactory->isChecked()) ||
                          cbUpdateBootloader->isChecked();
  FileNameComboBox->setEnabled(fileNeeded);
  BrowseBtn->setEnabled(fileNeeded);
  if (fileNeeded) SetEdited(FileNameComboBox, true);
  StartBtn->setEnabled(cbUpdateConfiguration->isChecked() || cbUpdateFirmware->isChecked() ||
                       cbUpdateBootloader->isChecked() || cbReinstallInternalRAM->isChecked());
}

// ---- the record from the panel -------------------------------------------------------------------------------

QWidget *TMainForm::GetConfig(std::string &errors, TZor_FlashVariables &record) {
  Log("TMainForm.GetConfig");
  errors.clear();
  record = FFlashVariablesRead;
  record.ChangedFlags = 0;
  QWidget *firstBad = nullptr;
  // One input: its error joins the list, the first bad field gets the focus.
  auto check = [&](QWidget *field, const std::string &error, const char *logText) {
    if (error.empty()) {
      Log(std::string("TMainForm.GetConfig ") + logText);
      return;
    }
    AddConfigError(errors, error);
    if (!firstBad) firstBad = field;
  };
  const bool esp = BaseDevice() && BaseDevice()->GetPeerType() == ptESP;
  const std::pair<TZor_AddressItem, const char *> addresses[] = {
      {adr_IPAddress, "IPAddress"}, {adr_Subnetmask, "Subnetmask"}, {adr_Gateway, "Gateway"}};
  QLineEdit *addressEdits[] = {IpAddressEdit, SubnetmaskEdit, GatewayEdit};
  for (int i = 0; i < 3; ++i)
    if (IsEdited(addressEdits[i]))
      check(addressEdits[i], ApplyAddress(record, addresses[i].first, Str(addressEdits[i]->text())),
            addresses[i].second);
  if (esp && IsEdited(HostNameEdit)) check(HostNameEdit, ApplyHostName(record, Str(HostNameEdit->text())), "Hostname");
  if (esp && (IsEdited(RadioDHCP) || IsEdited(RadioStatic))) {
    ApplyStaticIP(record, RadioStatic->isChecked());
    Log("TMainForm.GetConfig dynamic/static IP");
  }
  if (IsEdited(CANRxIDEdit) || IsEdited(cbCANRxExtended))
    check(CANRxIDEdit, ApplyCANID(record, false, Str(CANRxIDEdit->text()), cbCANRxExtended->isChecked()), "CANRx");
  if (IsEdited(CANTxIDEdit) || IsEdited(cbCANTxExtended))
    check(CANTxIDEdit, ApplyCANID(record, true, Str(CANTxIDEdit->text()), cbCANTxExtended->isChecked()), "CANTx");
  if (!esp && IsEdited(NickNameEdit)) check(NickNameEdit, ApplyNickName(record, Str(NickNameEdit->text())), "NickName");
  if (esp && IsEdited(BaudRateEdit)) check(BaudRateEdit, ApplyBaudRate(record, Str(BaudRateEdit->text())), "BaudRate");
  if (esp && (IsEdited(RadioHardDefault) || IsEdited(RadioHardUser))) {
    TZor_StartSetting setting{RadioHardUser->isChecked(), uint8_t(comboHardMode->currentIndex()),
                              uint8_t(comboHardIntervall->currentIndex())};
    check(RadioHardUser, ApplyStartSetting(record, setting), "StartCondition");
  }
  if (esp && cbHard->isVisibleTo(this) && IsEdited(LabelHardSpecial))
    check(cbHard, ApplyRefError(record, uint8_t(cbHard->currentIndex())), "RefError");
  if (esp && !ESPgbPPI->isHidden()) {
    if (IsEdited(cbPPIUser)) ApplyPPIuserDependend(record, cbPPIUser->isChecked());
    // The offset is checked against the interval chosen now.
    if (IsEdited(LabelPPIInterval))
      check(comboPPIInterval, ApplyPPIinterval(record, uint8_t(comboPPIInterval->currentIndex())), "PPIinterval");
    if (IsEdited(PPIoffsetEdit)) {
      TZor_FlashVariables probe = record;
      probe.SetPPIintervalIndex(uint8_t(comboPPIInterval->currentIndex()));
      const std::string error = ApplyPPIoffset(probe, Str(PPIoffsetEdit->text()));
      if (error.empty()) {
        record.SetPPIoffset(probe.GetPPIoffset());
        record.ChangedFlags |= fch_PPI;
      }
      check(PPIoffsetEdit, error, "PPIoffset");
    }
  }
  Log("TMainForm.GetConfig invalidInputs=" + errors);
  return firstBad;
}

}  // namespace zor
