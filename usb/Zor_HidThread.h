// The reader thread of a HID device in stream mode: it sends queued
// commands as output reports and reads input reports into the owner's
// receive buffer. It waits ("suspended") until the first command arrives
// and again after a failed read, until the next command or termination.
//
// Commands are queued as whole reports: a command that spans several
// reports goes out completely or, once a later report of it failed, not at
// all any more.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Zor_Sys.h"

namespace zor {

class TZor_UsbDevice;

class THIDThread {
 public:
  // One message: count of valid bytes, then the bytes (TZor_UsbDevice::HIDReadReport).
  using TReadFunc = std::function<platform::TZor_IoResult(std::string &text)>;
  // One output report of `outputByteLength` bytes.
  using TWriteFunc = std::function<bool(const std::string &chunk)>;
  // Ends a read the thread is blocked in.
  using TCancelFunc = std::function<void()>;
  using TUSBReadEvent = std::function<void(THIDThread *sender, const std::string &data)>;

  THIDThread(TZor_UsbDevice &aOwner, TReadFunc aRead, TWriteFunc aWrite, TCancelFunc aCancelRead,
             uint32_t aOutputByteLength);
  // Terminates and joins.
  ~THIDThread();
  THIDThread(const THIDThread &) = delete;
  THIDThread &operator=(const THIDThread &) = delete;

  // Queues `command` framed as [length][command] zero-padded to whole
  // reports and wakes the thread. False for a command too long to frame.
  bool WriteCommand(const std::string &command);
  void DeleteCommands();
  // Whole reports still queued.
  uint32_t GetPendingCmdsCount();
  uint32_t GetMaxCommandLength() const { return FOutputByteLenght - 1; }

  // Asks the loop to end (it sends one last queued report, normally the
  // stop command) and wakes it from a wait or a read.
  void Terminate();
  // Waits up to `ms` for the loop to end; true when it has.
  bool WaitFinished(uint32_t ms);
  bool GetTerminated() const { return FTerminated; }
  // Waiting for a command after a failed read.
  bool GetSuspended() const { return FSuspended; }
  // The receive buffer had to be cleared; reading clears the flag.
  bool GetBufferOverflow() { return FBufferOverflow.exchange(false); }
  bool GetExecuteFinished() const { return FExecuteFinished; }
  // Set before the first command; called on the thread with every accepted piece of data.
  void SetOnUSBRead(TUSBReadEvent handler) { FOnUSBRead = std::move(handler); }

 private:
  void Execute();
  // Sends the next queued report; the lock is held. False when nothing went out.
  bool SendNextReport();
  void WaitForCommand();
  // After the loop: the rest of a command partly out, then the newest command.
  void SendLastReports();
  void Received(const std::string &text);

  TZor_UsbDevice &FOwner;
  int FLogId;
  std::atomic<bool> FBufferOverflow{false};
  TReadFunc FRead;
  TWriteFunc FWrite;
  TCancelFunc FCancelRead;
  uint32_t FOutputByteLenght;
  // Framed commands not yet sent, oldest first; FSentOfFirst bytes of the
  // first one have gone out.
  std::deque<std::string> WriteBufferUSB;
  size_t FSentOfFirst = 0;
  // Commands queued since creation; a suspended thread waits for it to change.
  uint64_t FCommandsWritten = 0;
  std::mutex LockObj;
  std::condition_variable FWake;
  TUSBReadEvent FOnUSBRead;
  std::atomic<bool> FExecuteFinished{false};
  platform::TZor_Event FFinishedEvent;
  std::atomic<bool> FIgnoreDataUntilStreamInterrupted{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FSuspended{false};
  std::thread FThread;
};

}  // namespace zor
