// Control requests of the network device (CONNECT, DISCONN, TRYBABY, the
// hardware-feature request) and opening and closing the device.
#include "net/Zor_NetworkDevice.h"

#include <algorithm>
#include <sstream>

#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/IcmpPing.h"
#include "net/TCPThread.h"

namespace zor {

using platform::TZor_ReadResult;
using platform::TZor_TcpClient;

// ---- MissingDisconnects -------------------------------------------------------

namespace {
std::mutex GMissingLock;
std::vector<std::string> &MissingList() {
  static std::vector<std::string> list;
  return list;
}

// An address in canonical dotted decimal, so that pings, TCP and the data
// server's peer check all mean the same host; any other text only trimmed.
std::string DeviceAddress(const std::string &text) {
  std::string canonical = CanonicalIPv4(text);
  return canonical.empty() ? TrimText(text) : canonical;
}
}  // namespace

namespace MissingDisconnects {
void Add(const std::string &entry) {
  std::lock_guard<std::mutex> g(GMissingLock);
  MissingList().push_back(entry);
}

std::vector<std::string> TakeMatching(const std::string &prefix) {
  std::lock_guard<std::mutex> g(GMissingLock);
  std::vector<std::string> taken, kept;
  for (auto &entry : MissingList()) (entry.rfind(prefix, 0) == 0 ? taken : kept).push_back(entry);
  MissingList().swap(kept);
  return taken;
}

std::vector<std::string> Entries() {
  std::lock_guard<std::mutex> g(GMissingLock);
  return MissingList();
}

void Clear() {
  std::lock_guard<std::mutex> g(GMissingLock);
  MissingList().clear();
}
}  // namespace MissingDisconnects

std::string MissingDisconnectEntry(uint8_t userId, uint16_t port) {
  return "UserID=" + std::to_string(userId) + "Port=" + IntToHex(port, 4);
}

std::string SocketErrorText(uint32_t number, const std::string &text) {
  switch (number) {
    case 10054:
    case 10060:
    case 10061: return "No connection to network device";
    case 10065: return "No connection to network";
    default: return "NetworkDevice.SocketError(" + std::to_string(number) + "): " + text;
  }
}

// ---- creation -------------------------------------------------------------------

TZor_NetworkDevice::TZor_NetworkDevice(int logId, int multiId, platform::TZor_Event *receiveEvent,
                                       bool doResetEvent, const std::string &deviceIP,
                                       const std::string &host)
    : TZor_BaseDevice(logId, doResetEvent, receiveEvent, multiId),
      FDeviceHost(host),
      FDeviceIP(DeviceAddress(deviceIP)) {
  FDevType = Zor_Remote;
  FDeviceIPAndPort = FDeviceIP + ":" + std::to_string(FDeviceManagementPort);
  FHasCommandList = true;
  std::ostringstream self;
  self << static_cast<const void *>(this);
  LogText(GetLogId(), FDbgTag + ".Created: " + ToString() + ", Self=" + self.str());
}

TZor_NetworkDevice::~TZor_NetworkDevice() {
  LogText(GetLogId(), FDbgTag + ".Destroy: " + ToString());
  // The background requests' answers are of no use any more.
  *FBackgroundAbort = true;
  if (FTryAbort) *FTryAbort = true;
  try {
    CloseNetworkPort();
  } catch (const std::exception &e) {
    LogExcept(GetLogId(), FDbgTag + ".Destroy: ClosePort failed", e);
  }
  BoundDataThreadDisconn();
  // A server left running (device unreachable at close) goes now; this waits
  // for its connection threads.
  TakeServer().reset();
  {
    std::unique_lock<std::mutex> g(FHandlerLock);
    FHandlersDone.wait(g, [this] { return FHandlers == 0; });
  }
  FTryThread.reset();
  FRetiredTry.clear();
  FHardFeatureThread.reset();
  FDeviceManagementClient.reset();
  FExtraRequestClient.reset();
  LogText(GetLogId(), FDbgTag + " Destroyed");
}

TZor_NetworkDevice::THandlerGuard::THandlerGuard(TZor_NetworkDevice &device) : FDevice(device) {
  std::lock_guard<std::mutex> g(FDevice.FHandlerLock);
  ++FDevice.FHandlers;
}

TZor_NetworkDevice::THandlerGuard::~THandlerGuard() {
  std::lock_guard<std::mutex> g(FDevice.FHandlerLock);
  if (--FDevice.FHandlers == 0) FDevice.FHandlersDone.notify_all();
}

// ---- properties ---------------------------------------------------------------------

std::string TZor_NetworkDevice::ToString() const {
  std::string text = "Zor_Network: Device=" + FDeviceIPAndPort;
  // No lock is held while the text is built: ToString is called from log
  // lines everywhere, also under the base device's state lock.
  if (std::shared_ptr<platform::TZor_TcpServer> server = Server())
    text += ", Server=" + GetServerIPAndPort() + ", active=" + (server->IsActive() ? "True" : "False");
  TZor_PeerType peer = FPeerType;
  text += ", PeerType=" + std::string(peer == ptColdfire ? "Coldfire" : peer == ptESP ? "ESP" : "unknown");
  if (peer == ptESP && !FDeviceHost.empty()) text += ", Host=" + FDeviceHost;
  return text;
}

bool TZor_NetworkDevice::GetServerIsRunning() const {
  std::lock_guard<std::recursive_mutex> g(FServerLock);
  return FServer && FServer->IsActive();
}

void TZor_NetworkDevice::SetDeviceManagementPort(uint16_t port) {
  FDeviceManagementPort = port;
  FDeviceIPAndPort = FDeviceIP + ":" + std::to_string(port);
}

std::string TZor_NetworkDevice::GetServerIP() const {
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  return FServerIP;
}

std::string TZor_NetworkDevice::GetServerIPAndPort() const {
  std::string ip = GetServerIP();
  return (ip.empty() ? "0.0.0.0" : ip) + ":" + std::to_string(FServerPort.load());
}

void TZor_NetworkDevice::SetServerIP(const std::string &ip) {
  std::string octets = IPv4ToBytes(ip);
  {
    std::lock_guard<std::recursive_mutex> g(FStateLock);
    FServerIP = ip;
    FServerIP_CFformat = octets;
  }
  LogText(GetLogId(), FDbgTag + ".ServerIP: " + ip + " = 0x" + BytesToHex(octets));
}

void TZor_NetworkDevice::SetCryptPassword(const std::string &value) {
  FCryptPassword = value;
  LogText(GetLogId(), "CryptPassword=" + BytesToHex(value));
}

std::string TZor_NetworkDevice::GetPingError() const {
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  return FPingError;
}

uint32_t TZor_NetworkDevice::GetSerialNumberValue() {
  if (!GetSerialNumberRead() && FSerialNumberValue == 0xFFFFFFFF) {
    if (FPeerType == ptColdfire) {
      LogText(GetLogId(), "NetworkDevice.GetSerialNumberValue -> ReadFlash");
      ReadFlash();
    } else if (FPeerType == ptESP) {
      LogText(GetLogId(), "NetworkDevice.GetSerialNumberValue -> TODO ESP");
    }
  }
  return FSerialNumberValue;
}

bool TZor_NetworkDevice::ToolsRead(uint32_t count, std::string &text) {
  int32_t status = GetStatusReadFlash();
  if (status == 1 || status == 2) {
    LogText(GetLogId(), "NetworkDevice.ToolsRead -> ReadFlash");
    ReadFlash();
  }
  WaitHardFeature();
  return TZor_BaseDevice::ToolsRead(count, text);
}

// ---- wire format -------------------------------------------------------------------

std::string TZor_NetworkDevice::ServerAddressBytes(uint16_t port) const {
  std::string ip;
  {
    std::lock_guard<std::recursive_mutex> g(FStateLock);
    ip = FServerIP_CFformat;
  }
  // Without a known own address the block keeps its size, so the frame stays readable.
  ip.resize(4, '\0');
  return ip + ":" + IntToBigEndianText16(port);
}

std::string TZor_NetworkDevice::BuildRequest(const std::string &keyword, std::string &text) {
  uint8_t user =
      keyword == "CONNECT" ? (FOldUserId != 255 ? FOldUserId.load() : GetRegisterID()) : GetUserID();
  char field = user >= 1 && user <= 4 ? static_cast<char>('0' + user - 1) : ' ';
  uint16_t port = FServerPort;
  {
    std::lock_guard<std::recursive_mutex> g(FStateLock);
    // A stale session is closed with the port it was opened with.
    if (keyword == "DISCONN" && !FDeviceDisconnectString.empty()) {
      std::string hex = FDeviceDisconnectString.substr(
          FDeviceDisconnectString.size() >= 4 ? FDeviceDisconnectString.size() - 4 : 0);
      port = static_cast<uint16_t>(std::strtoul(hex.c_str(), nullptr, 16));
      FDeviceDisconnectString.clear();
    }
  }
  std::string address = ServerAddressBytes(port);
  text = keyword + field + BytesToHex(address);
  return keyword + field + address + "\r\n";
}

// ---- request exchange -------------------------------------------------------------

bool TZor_NetworkDevice::ConnectClient(std::unique_ptr<TZor_TcpClient> &client, std::string &error,
                                       const platform::TZor_AbortFlag &abort) {
  if (!client) client = std::make_unique<TZor_TcpClient>(FDeviceIP, FDeviceManagementPort);
  if (abort) client->SetAbortFlag(abort);
  if (client->Connect()) return true;
  platform::TZor_SysError e = client->GetLastError();
  error = SocketError(e.Code, ReplaceLineBreaks(client->GetLastErrorText(), ' '));
  client.reset();
  return false;
}

TZor_ReadResult TZor_NetworkDevice::ReadAnswer(TZor_TcpClient &client, const std::string &op,
                                               std::string &answer, bool disconnectOnTimeout,
                                               uint32_t timeoutMs) {
  answer.clear();
  TZor_ReadResult rr = client.ReadLine(answer, timeoutMs ? timeoutMs : FAnswerTimeoutMs);
  if (rr == TZor_ReadResult::rrTimeout && disconnectOnTimeout) {
    LogText(GetLogId(), Tag(op) + " DisconnectSocket");
    client.Disconnect();
  }
  return rr;
}

void TZor_NetworkDevice::DisconnectClient(std::unique_ptr<TZor_TcpClient> &client, const std::string &op) {
  if (!client) return;
  client->Disconnect();
  if (client->IsConnected()) {
    LogWarn(GetLogId(), Tag(op) + " NOT disconnected -> free client");
    client.reset();
  }
}

TZor_NetworkDevice::TZor_Exchange TZor_NetworkDevice::Exchange(
    std::unique_ptr<TZor_TcpClient> &client, const std::string &op,
    const std::function<std::string(std::string &)> &build, bool connectAnswer,
    const platform::TZor_AbortFlag &abort) {
  TZor_Exchange ex;
  LogText(GetLogId(), Tag(op) + ": Peer=" + FDeviceIP + ":" + std::to_string(FDeviceManagementPort));
  if (!ConnectClient(client, ex.Error, abort)) {
    LogErr(GetLogId(), Tag(op) + ".Connect failed: " + ex.Error);
    return ex;
  }
  ex.Connected = true;
  // CONNECT names the interface through which the device is reached.
  if (op == "StartData" || (op == "TestDataConnected" && GetServerIP().empty()))
    SetServerIP(client->GetLocalAddress());
  std::string request = build(ex.RequestText);
  if (!client->Write(request)) {
    ex.Read = TZor_ReadResult::rrError;
    ex.Error = ReplaceLineBreaks(client->GetLastErrorText(), ' ');
  } else {
    LogText(GetLogId(), Tag(op) + " " + ex.RequestText + " -> Warte auf Antwort");
    if (connectAnswer) {
      // The device answers CONNECT at once; whatever takes longer counts as no
      // answer. Its first line is the answer, so the window ends with it.
      ex.Read = client->ReadFor(ex.Raw, ConnectAnswerMs, "\r\n");
      size_t end = ex.Raw.find("\r\n");
      if (end != std::string::npos) {
        ex.Answer = ex.Raw.substr(0, end);
        ex.Read = TZor_ReadResult::rrOk;
      } else if (ex.Read != TZor_ReadResult::rrError) {
        ex.Read = TZor_ReadResult::rrTimeout;
      }
    } else {
      // The device answers DISCONN at once; a teardown never waits long for it.
      const uint32_t ms = op == "StopData" ? std::min(FAnswerTimeoutMs, DisconnAnswerMs) : FAnswerTimeoutMs;
      ex.Read = ReadAnswer(*client, op, ex.Answer, true, ms);
    }
    if (ex.Read == TZor_ReadResult::rrError) ex.Error = ReplaceLineBreaks(client->GetLastErrorText(), ' ');
    LogText(GetLogId(), Tag(op) + " Antwort=" + ex.Answer);
  }
  DisconnectClient(client, op);
  return ex;
}

// ---- CONNECT ----------------------------------------------------------------------

bool TZor_NetworkDevice::StartData() {
  const std::string op = "StartData";
  std::lock_guard<std::recursive_mutex> mg(FMgmtLock);
  std::string user;
  TZor_Exchange ex = Exchange(
      FDeviceManagementClient, op,
      [&](std::string &text) {
        std::string request = BuildRequest("CONNECT", text);
        user = request.substr(7, 1);
        return request;
      },
      true);
  if (!ex.Connected) {
    SetError(Zor_Err_ConnectFailed, ex.Error);
    return false;
  }
  if (ex.Read == TZor_ReadResult::rrClosed || ex.Read == TZor_ReadResult::rrError) {
    bool closed = ex.Read == TZor_ReadResult::rrClosed;
    std::string message = closed ? "CONNECT-Request failed: TCP-connection closed" : ex.Error;
    SetError(Zor_Err_RequestFailed, message);
    LogErr(GetLogId(), (closed ? Tag(op) + " failed: " : FDbgTag + ".CONNECT-Request failed: ") + message);
    return false;
  }
  const std::string &answer = ex.Answer;
  if (answer == "ok") {
    LogText(GetLogId(), Tag(op) + " successful");
    MarkReceived();
    return true;
  }
  if (answer == "sv") {
    SetError(Zor_Err_AlreadyConnected, "Already connected");
    LogWarn(GetLogId(), Tag(op) + " failed: already connected");
    FDeviceDisconnectNeccessary = true;
    return false;
  }
  if (ex.Read == TZor_ReadResult::rrTimeout)
    SetError(Zor_Err_RequestTimeout, "CONNECT-Request timed out");
  else if (answer == "ta" || answer.rfind("fe", 0) == 0)
    SetError(Zor_Err_RepeatRequest, "Please repeat CONNECT-Request(" + answer + ")");
  else if (answer == "ab")
    HandleConnectAb(user, ex.Raw);
  else
    SetError(Zor_Err_RequestDenied, "CONNECT-Request to " + FDeviceIPAndPort + " failed: " + answer);
  LogWarn(GetLogId(), Tag(op) + " " + GetErrorMessage());
  return false;
}

void TZor_NetworkDevice::HandleConnectAb(const std::string &userField, const std::string &raw) {
  const std::string op = "StartData";
  std::string found;
  if (!MissingDisconnects::Entries().empty() && !userField.empty() && userField[0] >= '0' &&
      userField[0] <= '3') {
    // The whole user part of the key: "UserID=2" must not take "UserID=255Port=...".
    std::string prefix = "UserID=" + std::to_string(userField[0] - '0' + 1) + "Port=";
    int index = 0;
    for (auto &entry : MissingDisconnects::Entries()) {
      if (entry.rfind(prefix, 0) != 0)
        LogText(GetLogId(), Tag(op) + " missing " + std::to_string(index) + " passt nicht: " + entry);
      ++index;
    }
    for (auto &entry : MissingDisconnects::TakeMatching(prefix)) {
      LogText(GetLogId(), Tag(op) + " found misssing disconnect " + entry);
      found = entry;
    }
  }
  uint8_t requested = GetRegisterID();
  std::string refusal =
      requested == 255 ? "Too many users" : "UserID " + std::to_string(requested) + " already in use";
  LogText(GetLogId(), Tag(op) + " response ab -> " + refusal);
  std::string message = "CONNECT-Request to " + FDeviceIPAndPort + " failed: " + refusal;
  if (raw.size() == 20) {
    std::string table = raw.substr(4, 16);
    SetUserConnected(table);
    message += ". " + GetUserConnected();
    if (!found.empty()) {
      size_t d = static_cast<size_t>(userField[0] - '0');
      // The slot is held by an earlier session of this very computer.
      if (BytesToIPv4(table.substr(4 * d, 4)) == GetServerIP()) {
        FDeviceDisconnectNeccessary = true;
        {
          std::lock_guard<std::recursive_mutex> g(FStateLock);
          FDeviceDisconnectString = found;
        }
        LogText(GetLogId(), Tag(op) + " Abmeldung zu missingDisconnect=" + found + " wiederholen");
      }
    }
  }
  SetError(Zor_TooManyUser, message);
}

// ---- DISCONN ------------------------------------------------------------------------

bool TZor_NetworkDevice::StopData() { return SendDisconn(nullptr); }

bool TZor_NetworkDevice::SendDisconn(const platform::TZor_AbortFlag &dataThread) {
  const std::string op = "StopData";
  if (!FDeviceDisconnectNeccessary && !DataConnectionConnected()) return true;
  // The management client may be busy (block transfer, or another thread's
  // request); then a temporary client carries the DISCONN. A data thread
  // always uses one: it must not hold the management client for the caller.
  std::unique_lock<std::recursive_mutex> mg(FMgmtLock, std::defer_lock);
  if (!dataThread) mg.try_lock();
  std::unique_ptr<TZor_TcpClient> temporary;
  bool useTemporary = !mg.owns_lock() || (FDeviceManagementClient && FDeviceManagementClient->IsConnected());
  if (useTemporary) LogText(GetLogId(), Tag(op) + " temporären Client erzeugt");
  std::unique_ptr<TZor_TcpClient> &client = useTemporary ? temporary : FDeviceManagementClient;
  // Set before the request goes out: the device may end the data connection
  // before its answer has been read, and that end is no surprise.
  FDeviceDisconnectRequested = true;
  TZor_Exchange ex = Exchange(
      client, op, [&](std::string &text) { return BuildRequest("DISCONN", text); }, false, dataThread);
  if (useTemporary) LogText(GetLogId(), Tag(op) + " temporären Client freigeben");
  if (!ex.Connected) {
    FDeviceDisconnectRequested = false;
    SetError(Zor_Err_ConnectFailed, ex.Error);
    return false;
  }
  bool ok = false;
  if (ex.Read == TZor_ReadResult::rrClosed || ex.Read == TZor_ReadResult::rrError) {
    SetError(Zor_Err_RequestFailed, ex.Read == TZor_ReadResult::rrClosed
                                        ? "DISCONN-Request failed: TCP connection closed"
                                        : ex.Error);
    LogErr(GetLogId(), Tag(op) + " failed: " + GetErrorMessage());
    FDeviceDisconnectRequested = false;
  } else if (ex.Answer == "ok") {
    LogText(GetLogId(), Tag(op) + " successful");
    ok = true;
  } else {
    if (ex.Read == TZor_ReadResult::rrTimeout) {
      SetError(Zor_Err_RequestTimeout, "Request " + ex.RequestText + " timed out");
      FDeviceDisconnectRequested = false;
    } else if (ex.Answer.rfind("fe", 0) == 0) {
      SetError(Zor_Err_RepeatRequest, "repeat DISCONN-Request(" + ex.Answer + ")");
    } else {
      SetError(Zor_Err_RequestDenied, "Request " + ex.RequestText + " failed: " + ex.Answer);
      FDeviceDisconnectRequested = false;
    }
    LogWarn(GetLogId(), Tag(op) + " " + GetErrorMessage());
  }
  if (ok || GetErrorCode() != Zor_Err_RepeatRequest) FDeviceDisconnectNeccessary = false;
  return ok;
}

void TZor_NetworkDevice::BoundDataThreadDisconn() {
  std::unique_lock<std::mutex> g(FDisconnLock);
  if (!FDataThreadDisconn) return;
  if (FDisconnDone.wait_for(g, std::chrono::milliseconds(DataThreadDisconnGraceMs),
                            [this] { return !FDataThreadDisconn; }))
    return;
  LogWarn(GetLogId(), FDbgTag + ".StopData of the data connection takes too long -> break off");
  *FDataThreadDisconn = true;
}

// ---- TRYBABY --------------------------------------------------------------------------

bool TZor_NetworkDevice::TestDataConnected() {
  uint32_t session;
  {
    std::lock_guard<std::recursive_mutex> g(FStateLock);
    session = FTrySession;
  }
  return TestDataConnected(session, nullptr);
}

bool TZor_NetworkDevice::TestDataConnected(uint32_t session, const platform::TZor_AbortFlag &abort) {
  const std::string op = "TestDataConnected";
  THandlerGuard guard(*this);
  // The outcome of a check that was discarded meanwhile must not count.
  auto current = [&] { return session == FTrySession; };
  {
    std::lock_guard<std::recursive_mutex> g(FStateLock);
    if (current()) FTryState = tryRunning;
  }
  bool ok = false;
  auto setTry = [&](TZor_Result code, const std::string &message) {
    std::lock_guard<std::recursive_mutex> g(FStateLock);
    if (!current()) return;
    FTryErrorCode = code;
    FTryErrorMessage = message;
  };
  // Its own client: a discarded check may still be running out on its own.
  std::unique_ptr<TZor_TcpClient> client;
  LogText(GetLogId(), Tag(op) + ": Peer=" + FDeviceIP + ":" + std::to_string(FDeviceManagementPort));
  LogText(GetLogId(), Tag(op) + " check IP via ping");
  if (!CheckIP(FDeviceIP)) {
    LogWarn(GetLogId(), Tag(op) + " ping " + FDeviceIPAndPort + " failed -> do not send request");
    setTry(Zor_Err_PingFailed, "No connection to " + FDeviceIPAndPort);
  } else {
    TZor_Exchange ex = Exchange(
        client, op, [&](std::string &t) { return BuildRequest("TRYBABY", t); }, false, abort);
    if (!ex.Connected) {
      setTry(Zor_Err_ConnectFailed, ex.Error);
    } else if (ex.Read == TZor_ReadResult::rrClosed || ex.Read == TZor_ReadResult::rrError) {
      setTry(Zor_Err_RequestFailed, ex.Read == TZor_ReadResult::rrClosed
                                        ? "Test Data Connected failed: TCP connection closed"
                                        : ex.Error);
      LogErr(GetLogId(), Tag(op) + " failed: " + ex.Error);
    } else if (ex.Answer == "ok") {
      LogText(GetLogId(), Tag(op) + " successful");
      setTry(Zor_No_Err, "");
      ok = true;
    } else {
      if (ex.Read == TZor_ReadResult::rrTimeout) {
        setTry(Zor_Err_RequestTimeout, "Request " + ex.RequestText + " timed out");
      } else if (ex.Answer.rfind("fe", 0) == 0) {
        setTry(Zor_Err_RepeatRequest, "repeat TRYBABY-Request(" + ex.Answer + ")");
      } else {
        setTry(Zor_Err_RequestDenied, "Request " + ex.RequestText + " failed: " + ex.Answer);
        FDeviceDisconnectNeccessary = false;
      }
      std::lock_guard<std::recursive_mutex> g(FStateLock);
      LogWarn(GetLogId(), Tag(op) + " " + FTryErrorMessage);
    }
  }
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  if (current()) {
    FTryResult = ok;
    FTryState = tryFinished;
  }
  return ok;
}

// ---- hardware feature -------------------------------------------------------------------

bool TZor_NetworkDevice::ReadHardFeature() {
  const std::string op = "ReadHardFeature";
  THandlerGuard guard(*this);
  const std::string command(
      "\x85"
      "Ei\x05",
      4);
  TCmdResponseType saved = GetCmdResponse();
  SetCmdResponse(crt_ReadNVS);
  // A failed request is over: nothing waits for its answer any more.
  auto failed = [&] {
    if (GetCmdResponse() == crt_ReadNVS) SetCmdResponse(saved);
    EndHardFeatureRequest();
    return false;
  };
  TZor_Exchange ex = Exchange(
      FExtraRequestClient, op, [&](std::string &t) { return BuildCmdRequest(command, t); }, false,
      FBackgroundAbort);
  if (!ex.Connected) return failed();
  if (ex.Read == TZor_ReadResult::rrClosed || ex.Read == TZor_ReadResult::rrError) {
    LogErr(GetLogId(), Tag(op) + " failed: " +
                           (ex.Read == TZor_ReadResult::rrClosed
                                ? "ReadHardFeature Connected failed: TCP connection closed"
                                : ex.Error));
    return failed();
  }
  LogText(GetLogId() + 1, "{" + BytesToHex(command) + "} -> " + ex.Answer);
  if (ex.Answer == "ok") {
    LogText(GetLogId(), Tag(op) + " successful");
    LogText(GetLogId(), "{" + BytesToHex(command) + "}");
    SetLastCommand(command);
    return true;
  }
  std::string text = ex.Read == TZor_ReadResult::rrTimeout ? "Request " + ex.RequestText + " timed out"
                     : ex.Answer.rfind("fe", 0) == 0       ? "repeat CMD-Request(" + ex.Answer + ")"
                                                     : "Request " + ex.RequestText + " failed: " + ex.Answer;
  LogWarn(GetLogId(), Tag(op) + " " + text);
  return failed();
}

void TZor_NetworkDevice::BeginHardFeatureRequest() {
  FHardFeatureDone.Reset();
  FReadHardFeatureRequested = true;
}

void TZor_NetworkDevice::EndHardFeatureRequest() {
  FReadHardFeatureRequested = false;
  FHardFeatureDone.Signal();
}

void TZor_NetworkDevice::WaitHardFeature() {
  if (!FReadHardFeatureRequested) return;
  LogText(GetLogId(), FDbgTag + ".WaitHardFeature");
  if (FHardFeatureDone.WaitFor(FHardFeatureWaitMs)) return;
  // Given up, so that no later read waits for it again.
  LogWarn(GetLogId(), FDbgTag + ".WaitHardFeature: no answer, go on");
  EndHardFeatureRequest();
}

void TZor_NetworkDevice::StartHardFeatureThread() {
  FHardFeatureThread =
      std::make_unique<TTCPThread>(GetLogId(), "(ReadHardFeature)", [this] { return ReadHardFeature(); });
}

// ---- ping and socket errors ----------------------------------------------------------------

bool TZor_NetworkDevice::CheckIP(const std::string &ip) {
  const std::string op = "CheckIP";
  {
    std::lock_guard<std::recursive_mutex> g(FStateLock);
    FPingError.clear();
  }
  uint32_t start = platform::GetTicks();
  std::string error;
  bool ok = false;
  try {
    ok = PingIPAddress(ip, PingTimeoutMs, error);
    if (!ok)
      LogWarn(GetLogId(), FDbgTag + ".CheckIP(" + ip + "): Ping failed (" + error +
                              ") after ticks=" + std::to_string(platform::TicksSince(start)));
  } catch (const std::exception &e) {
    error = e.what();
    LogExcept(GetLogId(), FDbgTag + ".CheckIP failed", e);
  }
  {
    std::lock_guard<std::recursive_mutex> g(FStateLock);
    FPingError = error;
  }
  if (!ok) LogWarn(GetLogId(), FDbgTag + ".CheckIP PingErrorNumber=" + std::to_string(GetPingErrorNumber()));
  return ok;
}

std::string TZor_NetworkDevice::SocketError(uint32_t number, const std::string &text) {
  std::string result = SocketErrorText(number, text);
  LogWarn(GetLogId(), "NetworkDevice.SocketError=" + std::to_string(number) + " -> " + result);
  return result;
}

// ---- open ------------------------------------------------------------------------------------

bool TZor_NetworkDevice::OpenPort(std::string &errorMessage) {
  errorMessage.clear();
  if (FPortIsOpened) return true;
  FOpenTicks = 0;
  LogText(GetLogId(), FDbgTag + ".OpenPort " + FDeviceIPAndPort + (GetBlockingIO() ? " (BlockingIO)" : ""));
  if (!CheckIP(FDeviceIP)) {
    std::string ping = GetPingError();
    SetError(Zor_Err_ConnectFailed,
             "No connection to network device " + FDeviceIP + (ping.empty() ? "" : ": " + ping));
    LogWarn(GetLogId(), FDbgTag + ".OpenPort failed " + FDeviceIPAndPort);
    errorMessage = GetErrorMessage();
    return false;
  }
  // A DISCONN of the last session still on its way would end the new one.
  BoundDataThreadDisconn();
  FCFuserID = 255;
  FCFBufferAmount = 0;
  // A new session starts a new stream: a restart the previous session still
  // waited for (its "buffer cleared" block may never have come) is over.
  FIgnoreDataUntilStreamInterrupted = false;
  ClearReceived();
  bool result = StartServer() && ConnectWithRepeats();
  if (!result)
    StopServerKeepingError();
  else if (GetContextTool())
    result = StartToolsMode();
  FPortIsOpened = result;
  if (result) {
    QuitError();
    LogText(GetLogId(), FDbgTag + ".OpenPort ok " + FDeviceIPAndPort);
    FOpenTicks = platform::GetTicks();
    return true;
  }
  LogWarn(GetLogId(), FDbgTag + ".OpenPort failed " + FDeviceIPAndPort);
  if (GetErrorCode() == Zor_Err_RepeatRequest)
    SetError(Zor_Err_RepeatRequest, "Connect to " + FDeviceIPAndPort + " failed - command execution denied");
  errorMessage = GetErrorMessage();
  return false;
}

bool TZor_NetworkDevice::ConnectWithRepeats() {
  bool ok = false;
  int j = 0;
  do {
    if (j > 0) platform::SleepMs(100);
    ok = StartData();
    bool sessionOpened = ok;
    if (ok) {
      FFirstCommand = FPeerType != ptColdfire;
      ok = WaitDataConnection();
      // The device holds a session for us even without the data connection.
      if (!ok) FDeviceDisconnectNeccessary = true;
    }
    ++j;
    if (!ok && FDeviceDisconnectNeccessary) {
      if (GetErrorCode() == Zor_TooManyUser)
        LogText(GetLogId(), FDbgTag + ".OpenPort fehlende Abmeldung wiederholen");
      platform::SleepMs(50);
      // The CONNECT's error stays the reason; the DISCONN's only decides the retry.
      TZor_Result code = GetErrorCode();
      std::string message = GetErrorMessage();
      bool stopped = StopData();
      if (!stopped && sessionOpened) RecordUnconfirmedDisconnect("OpenPort");
      SetError(code, message);
      if (stopped && (code == Zor_TooManyUser || code == Zor_Err_AlreadyConnected) && j < 4) {
        LogText(GetLogId(), FDbgTag + ".OpenPort Too many user/ Already connected -> retry");
        SetError(Zor_Err_RepeatRequest, GetErrorMessage());
      }
      if (GetContextTool()) j = 4;
    }
  } while (!ok && GetErrorCode() == Zor_Err_RepeatRequest && j <= 3);
  return ok;
}

bool TZor_NetworkDevice::WaitDataConnection() {
  for (int i = 0; i < 20; ++i) {
    if (DataConnectionConnected()) {
      LogText(GetLogId(), FDbgTag + ".OpenPort DataConnection connected");
      return true;
    }
    platform::SleepMs(50);
  }
  SetError(Zor_Err_RequestFailed, "No Data connection to " + FDeviceIP + ". Please check firewall settings");
  LogWarn(GetLogId(), FDbgTag + ".OpenPort: " + GetErrorMessage());
  return false;
}

bool TZor_NetworkDevice::StartToolsMode() {
  if (FPeerType == ptColdfire) {
    LogText(GetLogId(), FDbgTag + ".OpenPort ToolsMode -> send ClearBuffer cmd");
    if (!DeviceWrite(std::string(1, '\x80'))) {
      StopServerKeepingError();
      return false;
    }
  }
  if (!FCryptPassword.empty()) {
    LogText(GetLogId(), FDbgTag + ".OpenPort DoLogin");
    if (!DeviceWrite(std::string("\x85\x12", 2) + FCryptPassword)) {
      LogWarn(GetLogId(), "Login falied");
      SetError(GetErrorCode(), "Login failed: invalid password");
      StopServerKeepingError();
      return false;
    }
    LogText(GetLogId(), FDbgTag + ".OpenPort Login successful");
  }
  if (!DeviceWrite(std::string("\x85\x10", 2))) {
    StopServerKeepingError();
    return false;
  }
  return true;
}

void TZor_NetworkDevice::StopServerKeepingError() {
  // The reason the open failed matters more than how the clean-up went.
  TZor_Result code = GetErrorCode();
  std::string message = GetErrorMessage();
  StopServer();
  SetError(code, message);
}

// ---- close -------------------------------------------------------------------------------------

void TZor_NetworkDevice::AddMissingDisconnect(const std::string &op) {
  std::string entry = MissingDisconnectEntry(GetUserID(), FServerPort);
  MissingDisconnects::Add(entry);
  LogWarn(GetLogId(), "TZor_NetworkDevice." + op + " added missing disconnect " + entry);
}

bool TZor_NetworkDevice::RecordUnconfirmedDisconnect(const std::string &op) {
  FDeviceDisconnectNeccessary = false;
  // A refusal means the device no longer knows the session: nothing to remember.
  if (GetErrorCode() == Zor_Err_RequestDenied) return false;
  AddMissingDisconnect(op);
  return true;
}

bool TZor_NetworkDevice::CloseNetworkPort() {
  if (!FPortIsOpened) return true;
  LogText(GetLogId(), "### Close NetworkDevice " + FDeviceIPAndPort + " ###");
  AbandonBlockTransfer();
  if (!CheckIP(FDeviceIP)) {
    LogWarn(GetLogId(),
            "TZor_NetworkDevice.ClosePort " + FDeviceIPAndPort + ": no connection -> do not send DISCONNECT");
    AddMissingDisconnect("ClosePort");
    FPortIsOpened = false;
    if (HasDataConnection()) {
      FDeviceDisconnectRequested = true;
      LogWarn(GetLogId(), "TZor_NetworkDevice.ClosePort disconnect DeviceDataConnection");
      DisconnectDataConnection();
    }
    return false;
  }
  TCmdResponseType awaited = GetCmdResponse();
  if (awaited != crt_none) {
    LogText(GetLogId(), "TZor_NetworkDevice.ClosePort: clear CmdResponse=" + CmdResponseTypeToText(awaited));
    SetCmdResponse(crt_none);
  }
  if (GetContextTool()) DeviceWrite(std::string("\x85\x11", 2));
  if (FForcedClose) {
    LogWarn(GetLogId(), "TZor_NetworkDevice.ClosePort ForcedClose -> DeviceDisconnectNeccessary");
  }
  FForcedClose = false;
  // The session is open on the device whether or not its data connection
  // still stands (the supervision may have cut it): it always gets its DISCONN.
  FDeviceDisconnectNeccessary = true;
  bool stopped = StopData();
  for (int i = 1; i < 4 && !stopped && GetErrorCode() == Zor_Err_RepeatRequest; ++i) stopped = StopData();
  const bool remembered = !stopped && RecordUnconfirmedDisconnect("ClosePort");
  if (stopped && !WaitDataConnectionGone(20, 10, "### NetworkDevice.ClosePort: ")) {
    if (DataConnectionConnected()) {
      LogWarn(GetLogId(), "### NetworkDevice.ClosePort: DeviceDataConnection NOT closed -> force");
      DisconnectDataConnection();
    } else {
      LogWarn(GetLogId(), "### NetworkDevice.ClosePort: DeviceDataConnection disconnected but not nil");
    }
  }
  bool result = StopServer() && !remembered;
  FPortIsOpened = false;
  return result;
}

bool TZor_NetworkDevice::WaitDataConnectionGone(int times, uint32_t stepMs, const std::string &logHead) {
  for (int i = 1; i <= times && HasDataConnection(); ++i) {
    LogText(GetLogId(), logHead + std::to_string(i) + ". Sleep " + std::to_string(stepMs) + " ms");
    platform::SleepMs(stepMs);
    if (!HasDataConnection()) LogText(GetLogId(), logHead + "DeviceDataConnection closed");
  }
  return !HasDataConnection();
}

void TZor_NetworkDevice::AbandonBlockTransfer() {
  std::lock_guard<std::recursive_mutex> mg(FMgmtLock);
  if (!FDeviceManagementClient || !FDeviceManagementClient->IsConnected()) return;
  LogWarn(GetLogId(), FDbgTag + ".ClosePort: block transfer running -> disconnect");
  FDeviceManagementClient->Disconnect();
  FDeviceManagementClient.reset();
}

void TZor_NetworkDevice::ForceClose() {
  if (!FPortIsOpened) return;
  LogText(GetLogId(), "### ForceClose NetworkDevice " + FDeviceIPAndPort + " ###");
  BoundDataThreadDisconn();
  if (GetServerIsRunning()) {
    LogText(GetLogId(), "### NetworkDevice.ForceClose: Deaktiviere Server ###");
    FDeviceDisconnectRequested = true;
    // The server object stays, inactive; the next open starts a new one.
    if (auto server = Server()) server->Deactivate();
    {
      std::lock_guard<std::recursive_mutex> g(FServerLock);
      FDeviceDataConnection = nullptr;
    }
    FDeviceDisconnectRequested = false;
  } else if (DataConnectionConnected()) {
    LogText(GetLogId(), "### NetworkDevice.ForceClose: Close DeviceDataConnection ###");
    DisconnectDataConnection();
  }
  {
    std::lock_guard<std::recursive_mutex> mg(FMgmtLock);
    if (FDeviceManagementClient && FDeviceManagementClient->IsConnected())
      FDeviceManagementClient->Disconnect();
    FDeviceManagementClient.reset();
  }
  FDeviceDisconnectNeccessary = false;
  FPortIsOpened = false;
}

bool TZor_NetworkDevice::CloseDataConnection() {
  if (!HasDataConnection()) LogText(GetLogId(), FDbgTag + ".CloseDataConnection: no data connection");
  // Our own doing, and the session still needs its DISCONN (sent by StopServer).
  FDeviceDisconnectRequested = true;
  if (FPortIsOpened) FDeviceDisconnectNeccessary = true;
  if (DataConnectionConnected()) {
    LogText(GetLogId(), FDbgTag + ".CloseDataConnection: disconnect data connection");
    DisconnectDataConnection();
  }
  {
    std::lock_guard<std::recursive_mutex> g(FServerLock);
    FDeviceDataConnection = nullptr;
  }
  LogText(GetLogId(), FDbgTag + ".CloseDataConnection: stop server");
  bool result = StopServer();
  FPortIsOpened = false;
  return result;
}

void TZor_NetworkDevice::CheckReconnect() {
  uint32_t opened = FOpenTicks;
  if (opened == 0 || platform::TicksSince(opened) <= ReconnectAfterMs) return;
  LogText(GetLogId(), FDbgTag + "CheckReconnect: more than one day elapsed");
  if (!CloseNetworkPort()) {
    LogWarn(GetLogId(), FDbgTag + "CheckReconnect: close failed");
    return;
  }
  FisRequestedReconnect = true;
  std::string message;
  if (!OpenPort(message)) {
    LogWarn(GetLogId(), FDbgTag + "CheckReconnect: open failed " + message);
    FisRequestedReconnect = false;
  }
}

// ---- time of the last data ----------------------------------------------------------------------

void TZor_NetworkDevice::MarkReceived() { FLastReceived = (uint64_t{1} << 32) | platform::GetTicks(); }

void TZor_NetworkDevice::ClearReceived() { FLastReceived = 0; }

bool TZor_NetworkDevice::GetLastReceivedTicks(uint32_t &ticks) const {
  uint64_t value = FLastReceived;
  ticks = static_cast<uint32_t>(value);
  return value != 0;
}

}  // namespace zor
