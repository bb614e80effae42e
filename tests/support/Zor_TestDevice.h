// A device object without a link, for device tests: it records every command
// written to it, and a test feeds its receive and tools buffers directly.
// Writes can be made to fail and the link to count as lost.
#pragma once

#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "device/Zor_BaseDevice.h"

namespace zor {

// A byte text from byte values, for writing expected commands and reports.
inline std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// A registered logger writing into a temporary file, so a test can check
// which lines were logged.
class TZor_LogCapture {
 public:
  TZor_LogCapture();
  ~TZor_LogCapture();
  TZor_LogCapture(const TZor_LogCapture &) = delete;
  TZor_LogCapture &operator=(const TZor_LogCapture &) = delete;

  int Id() const { return FId; }
  std::string Text() const;
  // Lines containing `part`.
  int Count(const std::string &part) const;

 private:
  int FId;
  std::string FFileName;
};

class TZor_TestDevice : public TZor_BaseDevice {
 public:
  explicit TZor_TestDevice(TZor_DeviceType devType = Zor_HID, TZor_PeerType peerType = ptColdfire,
                           int logId = -1, int multiId = 0);

  bool CheckDeviceClosed() override;
  void ClosePort() override;
  bool OpenPort(std::string &errorMessage) override;
  bool DeviceWrite(const std::string &command) override;
  uint32_t GetPendingCmdsCount() override { return FTransportPending; }
  std::string ToString() const override { return "TestDevice(" + FDevicePath + ")"; }

  // ---- what the device "receives" -------------------------------------------
  // Into the receive buffer (signals the receive event); false when full.
  bool Feed(const std::string &bytes);
  bool FeedTools(const std::string &bytes);

  // ---- what the tool sent ------------------------------------------------------
  std::vector<std::string> Writes() const;
  void ClearWrites();
  // Called with every successful write, e.g. to let the device answer.
  std::function<void(const std::string &command)> OnWrite;

  // ---- fault injection -----------------------------------------------------------
  // The next `count` writes fail and leave `code` and `message` as the error.
  void FailNextWrites(int count, TZor_Result code = Zor_WriteError,
                      const std::string &message = "write failed");
  // A lost link: CheckDeviceClosed reports it and sets Zor_DeviceNotConnected.
  void SetLinkLost(bool value) { FLinkLost = value; }

  // ---- transport state a real transport sets itself ---------------------------
  void SetDevType(TZor_DeviceType value) { FDevType = value; }
  void SetLivePeerType(TZor_PeerType value) { FPeerType = value; }
  void SetHasCommandList(bool value) { FHasCommandList = value; }
  void SetDevicePath(const std::string &value) { FDevicePath = value; }
  // Commands the transport would still hold.
  void SetTransportPending(uint32_t value) { FTransportPending = value; }

  int OpenCount = 0;
  int CloseCount = 0;

 private:
  mutable std::mutex FWritesLock;
  std::vector<std::string> FWrites;
  int FFailWrites = 0;
  TZor_Result FFailCode = Zor_WriteError;
  std::string FFailMessage;
  bool FLinkLost = false;
  uint32_t FTransportPending = 0;
};

}  // namespace zor
