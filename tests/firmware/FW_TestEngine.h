// An update engine for tests: the protected steps are reachable, the USB
// identity of a device is whatever the test sets, and every message, every
// question and every pass through the message loop is recorded.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "firmware/Zor_FW_Class.h"

namespace zor {

class TTestServices : public TZor_AppServices {
 public:
  void ProcessMessages() override {
    ++Processed;
    if (OnProcess) OnProcess();
  }
  void ShowSplash(const std::string &text) override { Splash.push_back("show:" + text); }
  void HideSplash() override { Splash.push_back("hide"); }
  bool Confirm(const std::string &text) override {
    Questions.push_back(text);
    return Answer;
  }
  void Beep() override { ++Beeps; }

  int Processed = 0;
  std::function<void()> OnProcess;
  std::vector<std::string> Splash;
  std::vector<std::string> Questions;
  bool Answer = false;
  int Beeps = 0;
};

class TTestEngine : public TZorFirmwareClass {
 public:
  explicit TTestEngine(int logId = -1) : TZorFirmwareClass(logId) {
    SetAppServices(&Services);
    SetOnMessage([this](void *, const std::string &text, TMessageType type) {
      Messages.emplace_back(text, type);
      if (OnMessageHook) OnMessageHook(text);
    });
  }

  // Texts of all messages of the given level, in order.
  std::vector<std::string> Texts(TMessageType type) const {
    std::vector<std::string> out;
    for (const auto &[text, t] : Messages)
      if (t == type) out.push_back(text);
    return out;
  }
  bool HasMessage(const std::string &text, TMessageType type) const {
    for (const auto &[t, ty] : Messages)
      if (t == text && ty == type) return true;
    return false;
  }
  int IndexOf(const std::string &text) const {
    for (size_t i = 0; i < Messages.size(); ++i)
      if (Messages[i].first == text) return static_cast<int>(i);
    return -1;
  }

  TZor_UsbIdentity UsbIdentity(TZor_BaseDevice *device) const override {
    TZor_UsbIdentity id = TZorFirmwareClass::UsbIdentity(device);
    if (id.Valid) {
      Usb.Valid = true;
      return Usb;
    }
    return id;
  }

  using TZorFirmwareClass::CheckConnectedUser;
  using TZorFirmwareClass::CheckFirmwareFile;
  using TZorFirmwareClass::CloseDevice;
  using TZorFirmwareClass::FConnectedUserString;
  using TZorFirmwareClass::FFirmwareVersion;
  using TZorFirmwareClass::FUsbName;
  using TZorFirmwareClass::GetDeviceFirmwareVersion_intern;
  using TZorFirmwareClass::OpenDevice;
  using TZorFirmwareClass::ReadDevice;
  using TZorFirmwareClass::ReadStatus;
  using TZorFirmwareClass::ReadUntilEmpty;
  using TZorFirmwareClass::WaitCmdsSend;
  using TZorFirmwareClass::WriteDevice;

  mutable TZor_UsbIdentity Usb;
  TTestServices Services;
  std::vector<std::pair<std::string, TMessageType>> Messages;
  std::function<void(const std::string &)> OnMessageHook;
};

}  // namespace zor
