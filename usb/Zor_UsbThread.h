// The I/O thread of a device on a virtual COM port. One thread owns the
// port of one physical device; up to four device objects (the device's user
// slots) share it. It keeps one command queue for all of them, switches the
// device to a user before it sends that user's command, and hands every unit
// it receives to the device object of the user it belongs to (CDC blocks of
// ColdFire devices, binary reports of ESP devices).
//
// One of the device objects is the owner: the thread logs into its log and
// takes pacing and timeouts from it. When the owner leaves, another becomes
// owner.
//
// Ownership and threads: threads are shared (std::shared_ptr) by the global
// list and by the device objects that use them; the last reference joins the
// thread. Device objects call in from their own (main) thread. Every use of a
// device object by the thread happens under FLockObj, and RemoveDevice takes
// that lock: once RemoveDevice has returned, the thread never touches the
// removed object again, so it may be destroyed. The port read itself runs
// without the lock (it waits up to the owner's read timeout).
//
// In tools mode the thread is created suspended and never runs: its owner
// drives Read and Write on the owner's thread.
#pragma once

#include <atomic>
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Zor_Serial.h"
#include "platform/Zor_Sys.h"

namespace zor {

class TZor_UsbDevice;

class TZor_UsbThread {
 public:
  // Baud rate the port is set to (a virtual COM port ignores it).
  static constexpr uint32_t BaudRate = 115200;
  // Longest the thread waits for an ESP login answer while commands wait.
  static constexpr uint32_t LoginTimeoutMs = 5000;

  // Opens the owner's port (its device path's node); on failure the thread is
  // terminated from the start (GetTerminated) and the owner's error state
  // tells why. A thread that is not suspended starts running at once.
  TZor_UsbThread(TZor_UsbDevice *aOwner, bool isReconnected, bool createSuspended);
  // Terminates, wakes the read and joins; closes the port. Never called on
  // the thread itself.
  ~TZor_UsbThread();
  TZor_UsbThread(const TZor_UsbThread &) = delete;
  TZor_UsbThread &operator=(const TZor_UsbThread &) = delete;

  // ---- device objects (main thread) -------------------------------------------
  // Returns the number of device objects served.
  int AddDevice(TZor_UsbDevice *aDevice);
  // Drops the device's queued commands and every reference to it; hands the
  // ownership over when it was the owner. Returns the number left; the last
  // one leaving closes the thread (Close).
  int RemoveDevice(TZor_UsbDevice *aDevice);
  bool HasDevice(TZor_UsbDevice *aDevice);
  TZor_UsbDevice *GetOwner();
  // Tells every served device object that the device was reset.
  void SetDeviceResetted();

  // ---- commands ---------------------------------------------------------------
  // `data` carries its length byte. `aDevice` nullptr: a disconnect entry
  // ("UserID=" + slot).
  void AddCommand(const std::string &data, TZor_UsbDevice *aDevice);
  void DeleteCommands(TZor_UsbDevice *aDevice);
  uint32_t GetPendingCmdsCount();
  void RequestHardFeature();

  // ---- life -------------------------------------------------------------------
  // End at the next read that brings nothing while no command waits.
  void Close();
  // Closes the port now (a blocked read returns).
  void CloseUSB();
  bool GetUSBOpened();
  // Ends the loop as soon as possible (wakes a blocked read).
  void Terminate();
  bool GetTerminated() const { return FTerminated; }
  // Waits up to `ms` for the loop to have ended; true when it has (a
  // suspended thread that never ran counts as ended once terminated).
  bool WaitFinished(uint32_t ms);
  uint32_t GetLastError() const { return FLastError; }
  std::string GetErrorMessage();
  bool GetIsReconnected() const { return FisReconnected; }

  // ---- tools mode: one step on the caller's thread ----------------------------
  // Both return true while the thread is not terminated.
  bool Read();
  bool Write();

 private:
  void Execute();
  bool OpenUSB();
  void SendNextCommand();
  bool SendCommandIntern(TZor_UsbDevice *device, const std::string &data);
  bool SendCommandDisconnect(uint8_t slot);
  bool SwitchToUser(TZor_UsbDevice *device);
  void LogDeviceLists();
  // Receive steps (Zor_UsbThread_Receive.cpp).
  void ReadCDCBlock();
  bool ReadESP();
  void ReadESPNoReceive();

  struct TCmdEntry {
    std::string Data;
    TZor_UsbDevice *Device = nullptr;
  };

  std::recursive_mutex FLockObj;
  int FLogId = -1;
  TZor_UsbDevice *FOwner = nullptr;
  std::vector<TZor_UsbDevice *> FNewDevices;
  std::array<TZor_UsbDevice *, 5> FDevices{};  // 1..4 used
  int FDeviceCount = 0;
  TZor_UsbDevice *FLastCmdDevice = nullptr;
  uint8_t FDisconnectedUserId = 0;
  TZor_UsbDevice *FToolsDataDevice = nullptr;
  std::vector<std::string> FMissingDisconnects;
  uint8_t FClosedDevices = 0;
  std::unique_ptr<platform::TZor_SerialPort> FDevHandle;
  std::array<bool, 5> FIgnoreDataUntilStreamInterrupted{};  // 1..4 used
  std::string FErrorMessage;
  std::atomic<uint32_t> FLastError{0};
  uint32_t FLoginTicks = 0;
  uint32_t FRepeatAddrTicks = 0;
  bool FSuppressErrorOpen = false;
  int FTimeoutCount = 0;
  int FTimeoutCountLimit = 5;
  std::atomic<bool> FTerminateOnTimeout{false};
  bool FTimeoutExpected = false;
  std::vector<TCmdEntry> FCmdList;
  bool FfirstReceive = true;
  std::string FremainingData;
  uint32_t FemptyCount = 0, FmaxEmpty = 0, FReportCount = 0, FmaxReport = 0, FmaxBytesRead = 0;
  uint64_t FTotalReports = 0, FTotalBytesRead = 0, FReadCalls = 0;
  std::atomic<bool> FisReconnected{false};
  bool FReadHardFeatureRequested = false;
  bool FContextTool = false;

  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FExecuteFinished{false};
  std::thread FThread;
};

// The threads of all physical devices on virtual COM ports, so that a device
// object finds the thread that already serves its device.
class TZor_UsbThreadList {
 public:
  // An existing, running thread of the same physical device: shared when the
  // device serves several users (the device object joins it), else nullptr
  // (the device is held by a single-user connection). No such thread: a new
  // one (possibly terminated at once when its port failed to open).
  std::shared_ptr<TZor_UsbThread> GetThread(TZor_UsbDevice *aDevice, bool isReconnected, bool suspended);
  // The port of the thread serving the device's physical device is open.
  bool CheckThread(TZor_UsbDevice *aDevice);
  void RemoveThread(const std::shared_ptr<TZor_UsbThread> &aThread);
  bool IsEmpty();

 private:
  std::mutex FLock;
  std::vector<std::shared_ptr<TZor_UsbThread>> FList;
};

TZor_UsbThreadList &UsbThreadList();

}  // namespace zor
