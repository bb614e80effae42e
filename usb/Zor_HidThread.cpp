#include "usb/Zor_HidThread.h"

#include <chrono>

#include "device/Zor_Commands.h"
#include "foundation/CircularBuffer.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "usb/Zor_UsbDevice.h"

namespace zor {

using platform::TZor_IoResult;

THIDThread::THIDThread(TZor_UsbDevice &aOwner, TReadFunc aRead, TWriteFunc aWrite, TCancelFunc aCancelRead,
                       uint32_t aOutputByteLength)
    : FOwner(aOwner),
      FLogId(aOwner.GetLogId()),
      FRead(std::move(aRead)),
      FWrite(std::move(aWrite)),
      FCancelRead(std::move(aCancelRead)),
      FOutputByteLenght(aOutputByteLength) {
  FThread = std::thread([this] { Execute(); });
}

THIDThread::~THIDThread() {
  Terminate();
  if (FThread.joinable()) FThread.join();
}

bool THIDThread::WriteCommand(const std::string &command) {
  LogText(FLogId, "### HIDThread.WriteCommand " + BytesToHex(command));
  if (command.size() > 0xFF || FOutputByteLenght == 0) {
    LogErr(FLogId, "### HIDThread.WriteCommand: command of " + std::to_string(command.size()) +
                       " bytes cannot be framed ###");
    return false;
  }
  // Whole reports: a tail left in the queue would be glued to the next command.
  std::string frame = static_cast<char>(command.size()) + command;
  frame.resize((frame.size() + FOutputByteLenght - 1) / FOutputByteLenght * FOutputByteLenght, '\0');
  {
    std::lock_guard<std::mutex> g(LockObj);
    WriteBufferUSB.push_back(std::move(frame));
    ++FCommandsWritten;
  }
  FWake.notify_all();
  // A read waiting for data would hold the command back until a report comes.
  FCancelRead();
  return true;
}

void THIDThread::DeleteCommands() {
  std::lock_guard<std::mutex> g(LockObj);
  if (WriteBufferUSB.empty()) return;
  std::string all;
  for (const std::string &frame : WriteBufferUSB) all += frame;
  LogText(FLogId, "THIDThread.DeleteCommands " + BytesToHex(all.substr(FSentOfFirst)));
  // A command already partly out is finished, so the device sees whole commands only.
  if (FSentOfFirst > 0) {
    WriteBufferUSB.resize(1);
  } else {
    WriteBufferUSB.clear();
  }
}

uint32_t THIDThread::GetPendingCmdsCount() {
  std::lock_guard<std::mutex> g(LockObj);
  size_t bytes = 0;
  for (const std::string &frame : WriteBufferUSB) bytes += frame.size();
  return static_cast<uint32_t>((bytes - FSentOfFirst) / FOutputByteLenght);
}

void THIDThread::Terminate() {
  {
    std::lock_guard<std::mutex> g(LockObj);
    FTerminated = true;
  }
  FWake.notify_all();
  FCancelRead();
}

bool THIDThread::WaitFinished(uint32_t ms) {
  bool finished = FFinishedEvent.WaitFor(ms);
  if (FThread.joinable()) FThread.join();
  return finished;
}

bool THIDThread::SendNextReport() {
  if (WriteBufferUSB.empty()) return false;
  LogText(FLogId, "### HIDThread: zuerst Kommando senden ###");
  std::string &frame = WriteBufferUSB.front();
  const bool first = FSentOfFirst == 0;
  if (!FWrite(frame.substr(FSentOfFirst, FOutputByteLenght))) {
    // Before anything of the command went out it may be tried again; after
    // that the device holds part of it, and the rest would be read as a new command.
    if (!first) {
      LogErr(FLogId, "### HIDThread: Kommando verworfen " + BytesToHex(frame) + " ###");
      WriteBufferUSB.pop_front();
      FSentOfFirst = 0;
    }
    return false;
  }
  if (first) {
    const size_t length = static_cast<uint8_t>(frame[0]);
    if (IsBufferClearingCmd(frame.substr(1, length))) {
      FIgnoreDataUntilStreamInterrupted = true;
      LogText(FLogId, "### HIDThread: IgnoreDataUntilStreamInterrupted ###");
      FOwner.GetReceiveBuffer().Clear();
    }
  }
  FSentOfFirst += FOutputByteLenght;
  if (FSentOfFirst >= frame.size()) {
    WriteBufferUSB.pop_front();
    FSentOfFirst = 0;
  }
  return true;
}

void THIDThread::WaitForCommand() {
  std::unique_lock<std::mutex> g(LockObj);
  // A new command, not merely a queued one: a write that keeps failing
  // stays queued and must not keep a dead device's thread spinning.
  const uint64_t seen = FCommandsWritten;
  FSuspended = true;
  FWake.wait(g, [&] { return FTerminated || FCommandsWritten != seen; });
  FSuspended = false;
}

void THIDThread::SendLastReports() {
  if (WriteBufferUSB.empty()) return;
  LogText(FLogId, "################### HIDThread Abschluss-Kdo ####################");
  // Finish a command that is partly out, then send the newest one (the stop
  // command of the close); whatever lies between is dropped with the port.
  while (FSentOfFirst > 0 && SendNextReport()) {
  }
  if (WriteBufferUSB.size() > 1) WriteBufferUSB.erase(WriteBufferUSB.begin(), WriteBufferUSB.end() - 1);
  while (!WriteBufferUSB.empty() && SendNextReport()) {
  }
}

void THIDThread::Received(const std::string &text) {
  const size_t count = std::min<size_t>(static_cast<uint8_t>(text[0]), text.size() - 1);
  // A report without data carries nothing, least of all the cleared notice.
  if (count == 0) return;
  const std::string data = text.substr(1, count);
  if (data.find_first_not_of('\0') == std::string::npos) {
    FOwner.GetReceiveBuffer().Clear();
    LogText(FLogId, "################### HIDThread: Null-String empfangen -> Empfangspuffer gelöscht #####################");
    if (FIgnoreDataUntilStreamInterrupted.exchange(false))
      LogText(FLogId, "################### HIDThread: Reset IgnoreDataUntilStreamInterrupted");
    return;
  }
  if (FIgnoreDataUntilStreamInterrupted) {
    LogText(FLogId, "################### HIDThread: IgnoreDataUntilStreamInterrupted (" + std::to_string(count) +
                        "): " + BytesToHex(data));
    FOwner.GetReceiveBuffer().SetReceivedDataIgnored();
    return;
  }
  {
    std::lock_guard<std::mutex> g(LockObj);
    TCircularBuffer &buffer = FOwner.GetReceiveBuffer();
    if (!buffer.WriteAnsiString(data)) {
      FBufferOverflow = true;
      buffer.Clear();
      LogErr(FLogId, "################### HIDThread: Buffer overflow -> Buffer cleared");
      buffer.WriteAnsiString(data);
    }
    if (FOwner.GetLowLevelLog())
      LogText(FLogId, "####   HIDThread: read(" + std::to_string(count) + ")=" + BytesToHex(data));
  }
  if (FOnUSBRead) FOnUSBRead(this, data);
}

void THIDThread::Execute() {
  {
    // Starts with the first command.
    std::unique_lock<std::mutex> g(LockObj);
    FWake.wait(g, [this] { return FTerminated || FCommandsWritten != 0; });
  }
  while (!FTerminated) {
    {
      std::lock_guard<std::mutex> g(LockObj);
      if (!FTerminated) SendNextReport();
    }
    std::string text;
    TZor_IoResult result = FRead(text);
    if (result == TZor_IoResult::ioOk) {
      Received(text);
    } else if (result == TZor_IoResult::ioError && !FTerminated) {
      LogText(FLogId, "################### HIDThread.Suspend ####################");
      WaitForCommand();
    }
  }
  LogText(FLogId, "################### HIDThread.Terminated ####################");
  {
    std::lock_guard<std::mutex> g(LockObj);
    SendLastReports();
  }
  FExecuteFinished = true;
  FFinishedEvent.Signal();
}

}  // namespace zor
