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

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
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
class TCDCBlockHeader;
struct TZor_Record;

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
  // ("UserID=" + slot). A caller other than the loop waits while the queue
  // is full, so a long transfer does not pile up in memory.
  void AddCommand(const std::string &data, TZor_UsbDevice *aDevice);
  // Commands a running thread holds before a caller has to wait.
  static constexpr size_t MaxQueuedCmds = 64;
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
  // Ends the loop because of a failure; the banner goes into the stream log.
  void TerminateWithError(uint32_t code, const std::string &message);
  // Makes `device` the owner (under the lock).
  void SetOwner(TZor_UsbDevice *device);
  // A waiting device object for slot u: the CDC path searches from the
  // newest, the ESP path from the oldest and only among unassigned objects.
  TZor_UsbDevice *FindWaiting(uint8_t u, bool newestFirst, bool espRule);
  void MoveToSlot(TZor_UsbDevice *d, uint8_t u, const char *tag);
  // The first waiting object not refused as too many users.
  TZor_UsbDevice *FirstWaitingAccepted();
  // Sleeps up to `ms`, woken early by Terminate.
  void PauseMs(uint32_t ms);
  void PauseUntil(std::chrono::steady_clock::time_point until);
  // Queues without waiting for room (the loop itself, or under FLockObj).
  void QueueCommand(const std::string &data, TZor_UsbDevice *aDevice);
  void WaitQueueRoom();
  // After commands left FCmdList (under FLockObj): wakes callers waiting for room.
  void CmdsRemoved();
  // Sets the pause after a command just written; never shortens a longer one.
  void PaceAfterWrite(const std::string &cmd);
  // False when the next command must wait (FSendWaitMs tells the read how long).
  bool PaceDue();

  // Receive steps (Zor_UsbThread_Receive.cpp).
  enum class TReadOutcome { ok, nothing, cancelled, failed };
  // Reads without the lock: `exact` collects `count` bytes until the read
  // timeout passes after the first one, else returns what the first read brings.
  TReadOutcome ReadPort(std::string &data, size_t count, bool exact);
  // A failed port read: expected after the reset command, else the thread ends.
  void ReadFailed(const std::string &ignoreLine, const std::string &message);
  bool IsBehindReset();
  void CountTimeout(const std::string &limitMessage, const std::string &ignoreHead);
  bool NothingReceived(const std::string &closeMessage, const std::string &refClockLine);
  void ReadCDCBlock();
  void HandleCDCBlock(const TCDCBlockHeader &h, const std::string &head, const std::string &body);
  void AcceptCDCHeader(TZor_UsbDevice &target, uint8_t u, const TCDCBlockHeader &h, const std::string &head);
  bool ReadESP();
  void ReadESPNoReceive();
  // One complete report; true when it went to a device object.
  bool HandleESPReport(const std::string &raw);
  void DeliverESPReport(TZor_UsbDevice &target, uint8_t u, const TZor_Record &record, const std::string &raw);
  void TakeHardFeature(const TZor_Record &record);
  void QueueMissingDisconnects();
  bool ResumptionUnconfirmed();
  void WriteReceive(TZor_UsbDevice *target, const std::string &data, bool insert,
                    const std::string &overflowLine);

  static constexpr uint32_t cBadFormat = 11;

  struct TCmdEntry {
    std::string Data;
    TZor_UsbDevice *Device = nullptr;
  };

  std::recursive_mutex FLockObj;
  std::atomic<int> FLogId{-1};
  TZor_UsbDevice *FOwner = nullptr;
  std::vector<TZor_UsbDevice *> FNewDevices;
  std::array<TZor_UsbDevice *, 5> FDevices{};  // 1..4 used
  int FDeviceCount = 0;
  TZor_UsbDevice *FLastCmdDevice = nullptr;
  uint8_t FDisconnectedUserId = 0;
  TZor_UsbDevice *FToolsDataDevice = nullptr;
  std::vector<std::string> FMissingDisconnects;
  uint8_t FClosedDevices = 0;
  // Shared with a read in progress, so CloseUSB never frees a port under it.
  std::shared_ptr<platform::TZor_SerialPort> FDevHandle;
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
  // Taken from the owner, so the loop needs no owner to wait or to pick its path.
  std::atomic<uint32_t> FReadTimeoutMs{200};
  bool FIsESP = false;

  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FExecuteFinished{false};
  // Send step's advice to the next read: -1 wait the full read timeout,
  // otherwise at most this long (a command is due then).
  int32_t FSendWaitMs = -1;
  // Earliest moment for the next write. The owner's pause counts whole ticks
  // and may end up to a tick early or late; this one is exact.
  std::chrono::steady_clock::time_point FPaceUntil{};
  // FCmdList.size() for callers waiting for room without FLockObj.
  std::atomic<size_t> FQueuedCmds{0};
  std::atomic<int> FRoomWaiters{0};
  bool FShortWait = false;
  bool FReconnectFailReported = false;
  platform::TZor_SysError FReadError{};
  // Bytes read after a broken CDC header, where the next header may start.
  std::string FCDCPending;

  // Guards the end flags and the port a read is waiting on (Terminate and
  // AddCommand cancel that read without FLockObj).
  std::mutex FWakeLock;
  std::condition_variable FWake;
  std::shared_ptr<platform::TZor_SerialPort> FReadingPort;
  std::atomic<std::thread::id> FThreadId{};
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
