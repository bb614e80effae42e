// The device object of a device reached over the network (LUM2 and its
// relatives). The device listens on its control port (1024); every request of
// the tool (CONNECT, DISCONN, TRYBABY, CMD frames, block transfers) travels on
// a short management connection of its own. Everything the device sends comes
// back on the data connection, which the device opens to a small TCP server
// (the data server) that this object runs for it.
//
// Files: Zor_NetworkDevice.cpp (control requests, open and close),
// Zor_NetworkDevice_Data.cpp (data server and the cutting of the data stream),
// Zor_NetworkDevice_Cmd.cpp (CMD frames and the block transfer),
// Zor_NetworkDevice_Supervise.cpp (reads and receive supervision).
//
// Threads: open, close, commands and reads run on the caller's (main)
// thread; the data server runs one thread per accepted connection, and the
// session check and the hardware-feature request run on TTCPThreads. State
// those threads share with the main thread is atomic or guarded by the base
// device's FStateLock. The destructor waits for every one of these threads,
// so none outlives the object.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/Zor_BaseDevice.h"
#include "platform/Zor_Tcp.h"

namespace zor {

class TTCPThread;
class TCDCBlockHeader;
struct TZor_Record;

// State of the background session check (TRYBABY).
enum TTryState : uint8_t { tryCleared = 0, tryRunning, tryFinished };

// Sessions of this program that may still be open on a device because their
// DISCONN never went out: "UserID=" + user id + "Port=" + 4 hex digits of the
// data-server port. One list for all network devices of the process.
namespace MissingDisconnects {
void Add(const std::string &entry);
// Takes every entry that begins with `prefix` out of the list, in order.
std::vector<std::string> TakeMatching(const std::string &prefix);
std::vector<std::string> Entries();
void Clear();
}  // namespace MissingDisconnects

// "UserID=" + userId + "Port=" + port as 4 upper-case hex digits.
std::string MissingDisconnectEntry(uint8_t userId, uint16_t port);
// "No connection to network device" and friends for a socket error number.
std::string SocketErrorText(uint32_t number, const std::string &text);

class TZor_NetworkDevice : public TZor_BaseDevice {
 public:
  static constexpr uint16_t ControlPort = 1024;
  static constexpr uint32_t MaxCommandLength = 255;
  static constexpr uint32_t MaxBlockLength = 1048576;
  static constexpr uint32_t DataReadTimeoutMs = 1000;
  static constexpr uint32_t ConnectAnswerMs = 100;
  // DISCONN is answered at once too; without an answer within this time the
  // session is remembered as missing, so a teardown never holds its caller.
  static constexpr uint32_t DisconnAnswerMs = 1500;
  static constexpr uint32_t PingTimeoutMs = 1500;
  static constexpr uint32_t ReconnectAfterMs = 86400000;  // one day
  // How long a teardown lets a data thread's DISCONN run before breaking it off.
  static constexpr uint32_t DataThreadDisconnGraceMs = 1000;

  TZor_NetworkDevice(int logId, int multiId, platform::TZor_Event *receiveEvent, bool doResetEvent,
                     const std::string &deviceIP, const std::string &host = "");
  ~TZor_NetworkDevice() override;

  // ---- overrides of the base device -----------------------------------------
  uint32_t GetSerialNumberValue() override;
  bool CheckDeviceClosed() override { return false; }
  void ClosePort() override { CloseNetworkPort(); }
  bool OpenPort(std::string &errorMessage) override;
  bool DeviceWrite(const std::string &command) override;
  bool ToolsRead(uint32_t count, std::string &text) override;
  std::string ToString() const override;
  // Reads with receive supervision (Zor_NetworkDevice_Supervise.cpp).
  bool DeviceRead(uint32_t count, std::string &text) override;
  bool ConfirmPeekedData(uint32_t count) override;
  bool PeekAnsi(uint32_t count, std::string &bytes) override;
  bool PeekChar(uint8_t &value) override;
  bool PeekData(uint32_t count, std::string &text) override;

  // ---- open and close (Zor_NetworkDevice.cpp) ---------------------------------
  // Closing, the contract:
  // - ClosePort / CloseNetworkPort is the normal close and the one for every
  //   failure path: a running block transfer is broken off, the session gets
  //   its DISCONN; when the device does not answer the ping or the DISCONN
  //   cannot be delivered, the session goes into MissingDisconnects so a later
  //   CONNECT can end it. CloseNetworkPort returns false in that case.
  // - ForceClose is only for a device that is restarting (it would not answer
  //   a DISCONN and forgets the session anyway): ends the session locally.
  // Neither waits more than about 2 s on the caller's thread for a DISCONN
  // that the data thread sends after the device closed the data connection.
  bool CloseNetworkPort();
  void ForceClose();
  bool CloseDataConnection();
  bool StartData();          // CONNECT
  bool StopData();           // DISCONN
  bool TestDataConnected();  // TRYBABY for the current session check
  bool ReadHardFeature();    // NVS item 5; runs on a TTCPThread
  bool CheckIP(const std::string &ip);
  std::string SocketError(uint32_t number, const std::string &text);
  // Closes and reopens a device that has been open for more than a day.
  void CheckReconnect();

  // ---- commands and block transfer (Zor_NetworkDevice_Cmd.cpp) ------------------
  bool BlockTransferStart(uint32_t len, uint32_t addr, bool crypted);
  bool BlockTransferContinue(const std::string &bytes);
  bool BlockTransferStop();
  bool SendServerCmdSetPort(uint8_t aByte, bool responseNeeded);

  // ---- data server (Zor_NetworkDevice_Data.cpp) -------------------------------
  bool StartServer();
  bool StopServer();
  // Taken only while no port has been chosen yet.
  void SetServerPort(uint16_t value);

  // ---- wire formats; the request text (for logs) goes to `text` ---------------
  virtual std::string BuildRequest(const std::string &keyword, std::string &text);
  virtual std::string BuildBlockRequest(uint32_t len, uint32_t addr, bool crypted, std::string &text);
  virtual std::string BuildCmdRequest(const std::string &command, std::string &text);
  // The 7-byte address block: own IPv4, ':', data-server port (big-endian).
  std::string ServerAddressBytes(uint16_t port) const;

  // ---- properties ---------------------------------------------------------------
  const std::string &GetDeviceHost() const { return FDeviceHost; }
  const std::string &GetDeviceIP() const { return FDeviceIP; }
  uint16_t GetDeviceManagementPort() const { return FDeviceManagementPort; }
  // The control port is 1024 on every device; simulated devices may listen elsewhere.
  void SetDeviceManagementPort(uint16_t port);
  const std::string &GetDeviceIPAndPort() const { return FDeviceIPAndPort; }
  uint32_t GetFirstReceiveTicks() const { return FFirstReceiveTicks; }
  bool GetServerIsRunning() const;
  std::string GetServerIPAndPort() const;
  uint16_t GetServerPort() const { return FServerPort; }
  std::string GetServerIP() const;
  void SetServerIP(const std::string &ip);
  void SetCryptPassword(const std::string &value);
  std::string GetPingError() const;
  uint8_t GetErrorFlags() const { return FErrorFlags; }
  uint32_t GetNoAnswerCounter() const { return FNoAnswerCounter; }
  bool GetIsReconnected() const { return FisReconnected; }
  // Milliseconds an answer line is awaited (10 s; tests shorten it).
  uint32_t GetAnswerTimeoutMs() const { return FAnswerTimeoutMs; }
  void SetAnswerTimeoutMs(uint32_t ms) { FAnswerTimeoutMs = ms; }
  // Silence after which the supervision steps in (10 s; tests shorten it).
  uint32_t GetReceiveTimeoutMs() const { return FReceiveTimeoutMs; }
  void SetReceiveTimeoutMs(uint32_t ms) { FReceiveTimeoutMs = ms; }
  TTryState GetTryState() const { return FTryState; }
  // How long a tools read or NVS read waits for a pending hardware-feature
  // answer (2 s; tests shorten it).
  void SetHardFeatureWaitMs(uint32_t ms) { FHardFeatureWaitMs = ms; }

 protected:
  // ---- data channel (Zor_NetworkDevice_Data.cpp) ------------------------------
  virtual void ServerExecute(platform::TZor_TcpConnection &context);
  virtual void ServerExecute_CDC(std::string &data);
  virtual void ServerExecute_ESP(std::string &data);
  void ServerConnect(platform::TZor_TcpConnection &context);
  void ServerDisconnect(platform::TZor_TcpConnection &context);
  void CheckPeer(const std::string &data);

  // ---- receive supervision (Zor_NetworkDevice_Supervise.cpp) --------------------
  bool ReceiveTimeExceeded();
  bool RecoverFromTCPError();
  // After a read delivered data: resets the no-answer counter and the error.
  void ResetNoAnswer();

  // ---- time of the last measurement data, on the monotonic clock ----------------
  void MarkReceived();
  void ClearReceived();
  // False while nothing arrived since the port was opened.
  bool GetLastReceivedTicks(uint32_t &ticks) const;

  // ---- helpers shared by the request operations ---------------------------------
  // What became of one request on a management connection.
  struct TZor_Exchange {
    bool Connected = false;  // false: the connect failed, Error says why
    platform::TZor_ReadResult Read = platform::TZor_ReadResult::rrTimeout;
    std::string Answer;       // the answer line (CONNECT: the text before the first CR LF)
    std::string Raw;          // CONNECT: everything that arrived
    std::string RequestText;  // the request as logged
    std::string Error;        // connect failure, or the failure of a write or read
  };
  // Connects `client`, sends what `build` makes (it also fills the request
  // text), reads the answer (CONNECT: what arrives within 100 ms) and disconnects.
  // `abort` (optional) lets another thread break the request off.
  TZor_Exchange Exchange(std::unique_ptr<platform::TZor_TcpClient> &client, const std::string &op,
                         const std::function<std::string(std::string &)> &build, bool connectAnswer,
                         const platform::TZor_AbortFlag &abort = nullptr);
  void HandleConnectAb(const std::string &userField, const std::string &raw);
  bool ConnectWithRepeats();
  bool WaitDataConnection();
  bool StartToolsMode();
  // Stops the data server after a failed open, keeping the open's error.
  void StopServerKeepingError();
  // "FDbgTag.op" for log lines.
  std::string Tag(const std::string &op) const { return FDbgTag + "." + op; }
  bool SendServerCmd(const std::string &command);
  // Pacing and the awaited response after a command the device accepted.
  void AfterCommand(const std::string &command);
  // Waits out a pending command pause, logging `logHead` + milliseconds.
  void WaitCommandPause(const std::string &logHead, bool warn);
  // Connects `client` (created for the control port when null); on failure
  // frees it and puts the reason into `error` (socket text via SocketError).
  bool ConnectClient(std::unique_ptr<platform::TZor_TcpClient> &client, std::string &error,
                     const platform::TZor_AbortFlag &abort = nullptr);
  // Reads the answer line (within `timeoutMs`, 0: the answer timeout);
  // rrTimeout disconnects (logged with `op`).
  platform::TZor_ReadResult ReadAnswer(platform::TZor_TcpClient &client, const std::string &op,
                                       std::string &answer, bool disconnectOnTimeout, uint32_t timeoutMs = 0);
  // Disconnects and frees the client when it still reports a connection.
  void DisconnectClient(std::unique_ptr<platform::TZor_TcpClient> &client, const std::string &op);
  void AddMissingDisconnect(const std::string &op);
  // After a DISCONN that failed: remembers the session unless the device
  // refused it (then it no longer knows it). True when remembered.
  bool RecordUnconfirmedDisconnect(const std::string &op);
  // A block transfer still holding the management connection is broken off.
  void AbandonBlockTransfer();
  // Waits up to `times` x `stepMs` for the device to close the data connection.
  bool WaitDataConnectionGone(int times, uint32_t stepMs, const std::string &logHead);
  bool HasDataConnection() const;
  bool DataConnectionConnected() const;
  void DisconnectDataConnection();
  // The data server, shared so that it is deactivated outside FServerLock
  // (deactivating waits for connection threads that may need the lock).
  std::shared_ptr<platform::TZor_TcpServer> Server() const;
  std::shared_ptr<platform::TZor_TcpServer> TakeServer();
  // Counts data-server and background handlers that use this object.
  class THandlerGuard {
   public:
    explicit THandlerGuard(TZor_NetworkDevice &device);
    ~THandlerGuard();

   private:
    TZor_NetworkDevice &FDevice;
  };
  // Routing of a received payload into the receive buffer, clearing it when full.
  void StoreReceived(const std::string &payload, const std::string &logHead);
  void LogData(const std::string &bytes);
  void ClearReceiveBufferBanner(bool warn);
  // False when the block repeats the last one before a reconnect.
  bool AcceptCDCHeader(const TCDCBlockHeader &h, const std::string &headerText, const std::string &payload);
  void RouteCDCPayload(const TCDCBlockHeader &h, const std::string &headerText, const std::string &payload);
  void RouteESPRecord(const TZor_Record &record, const std::string &raw);
  void TakeHardFeature(const TZor_Record &record);
  // Ends an awaited command response when a measurement header shows its effect.
  void TrackResponse(uint16_t header);
  void StartHardFeatureThread();
  // The hardware-feature request of a new ESP data connection: pending until
  // its answer arrived (TakeHardFeature) or it failed (EndHardFeatureRequest).
  void BeginHardFeatureRequest();
  void EndHardFeatureRequest();
  // Waits, bounded, for a pending hardware-feature request: until its answer
  // is in, a tools answer of the device could be taken for it or vice versa.
  void WaitHardFeature();
  // DISCONN; `dataThread`: sent by a data-server thread after the device
  // closed the data connection, on a temporary client the owner may break off.
  bool SendDisconn(const platform::TZor_AbortFlag &dataThread);
  // The owner's side: gives a data thread's DISCONN a short grace, then breaks
  // it off, so that no teardown on the caller's thread waits for it.
  void BoundDataThreadDisconn();
  // TRYBABY of check `session`; its outcome counts only while that check is current.
  bool TestDataConnected(uint32_t session, const platform::TZor_AbortFlag &abort);
  // Session checks: start one; drop the running one without waiting for it.
  void StartTry();
  void DiscardTry();

  // ---- fields ---------------------------------------------------------------------
  std::atomic<bool> FDeviceDisconnectNeccessary{false};
  std::string FDeviceDisconnectString;  // under FStateLock
  // The device's data connection, owned by the server thread that serves it;
  // that thread clears this pointer before the connection goes away. Used
  // only under FServerLock.
  platform::TZor_TcpConnection *FDeviceDataConnection = nullptr;
  std::atomic<bool> FDeviceDisconnectRequested{false};
  std::string FDeviceHost;
  std::string FDeviceIP;
  std::string FDeviceIPAndPort;
  std::unique_ptr<platform::TZor_TcpClient> FDeviceManagementClient;
  uint16_t FDeviceManagementPort = ControlPort;
  std::string FCryptPassword;
  std::unique_ptr<platform::TZor_TcpClient> FExtraRequestClient;
  std::shared_ptr<platform::TZor_TcpServer> FServer;  // under FServerLock
  std::string FServerIP;                              // under FStateLock
  std::string FServerIP_CFformat;                     // under FStateLock
  std::atomic<uint16_t> FServerPort{0};
  bool FSystemServerPort = false;
  std::atomic<uint32_t> FNoAnswerCounter{0};
  std::string FPingError;  // under FStateLock
  std::atomic<bool> FPingNeeded{false};
  std::string FLastCDCBlockString;  // under FDataLock
  std::atomic<bool> FisReconnected{false};
  std::atomic<uint8_t> FOldUserId{255};
  std::atomic<uint8_t> FErrorFlags{0};
  std::atomic<bool> FisRequestedReconnect{false};
  std::unique_ptr<TTCPThread> FTryThread;          // main thread only
  // Discarded checks still running out; main thread only.
  std::vector<std::unique_ptr<TTCPThread>> FRetiredTry;
  platform::TZor_AbortFlag FTryAbort;  // of the current check; main thread only
  // Counts session checks; a result of an older one is ignored. Changed and
  // compared with the TRY state under FStateLock.
  uint32_t FTrySession = 0;
  // Breaks off the background requests when the object goes away.
  platform::TZor_AbortFlag FBackgroundAbort = platform::MakeAbortFlag();
  // Set while a data thread sends its DISCONN; under FDisconnLock.
  platform::TZor_AbortFlag FDataThreadDisconn;
  std::mutex FDisconnLock;
  std::condition_variable FDisconnDone;
  std::unique_ptr<TTCPThread> FHardFeatureThread;  // data thread only
  std::string FTryErrorMessage;                    // under FStateLock
  std::atomic<TZor_Result> FTryErrorCode{Zor_No_Err};
  std::atomic<bool> FTryResult{false};
  std::atomic<TTryState> FTryState{tryCleared};
  std::string FDbgTag = "TZor_NetworkDevice";
  int32_t FBlockSum = 0;
  std::atomic<bool> FReadHardFeatureRequested{false};
  platform::TZor_Event FHardFeatureDone{true};  // signalled while none is pending
  std::atomic<bool> FFirstReceive{true};
  std::atomic<uint32_t> FFirstReceiveTicks{0};
  // Tick count of the last measurement data with bit 32 set; 0 = none.
  std::atomic<uint64_t> FLastReceived{0};
  std::string FremainingData;  // under FDataLock
  std::atomic<uint32_t> FOpenTicks{0};
  std::atomic<bool> FIgnoreDataUntilStreamInterrupted{false};
  std::atomic<bool> FFirstCommand{false};
  uint32_t FAnswerTimeoutMs = 10000;
  uint32_t FReceiveTimeoutMs = 10000;
  std::atomic<uint32_t> FHardFeatureWaitMs{2000};

  mutable std::recursive_mutex FServerLock;  // FServer, FDeviceDataConnection
  // Held while a data connection's bytes are cut into units, and when a new
  // data connection starts; taken before FServerLock.
  std::mutex FDataLock;
  // Held by the main thread's requests on FDeviceManagementClient; a DISCONN
  // from another thread that cannot take it uses a temporary client.
  std::recursive_mutex FMgmtLock;
  // Held while the data server is started or stopped.
  std::mutex FServerStopLock;
  std::mutex FHandlerLock;
  std::condition_variable FHandlersDone;
  int FHandlers = 0;  // under FHandlerLock
};

}  // namespace zor
