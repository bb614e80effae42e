// The data server of the network device and the data connection the device
// opens to it: cutting the TCP stream into CDC blocks (ColdFire) or transmit
// reports (ESP), keeping incomplete tails, dropping repeated blocks, noticing
// lost data after a reconnect, and routing each unit to the receive or tools
// buffer.
#include <algorithm>

#include "device/Zor_CDCBlockData.h"
#include "device/Zor_ProcessReport.h"
#include "foundation/CircularBuffer.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/TCPThread.h"
#include "net/Zor_NetworkDevice.h"

namespace zor {

using platform::TZor_ReadResult;
using platform::TZor_TcpConnection;
using platform::TZor_TcpServer;

namespace {
const std::string cMagicBytes("\xBF\xBF\xBF\xBF", 4);
const char cBufferClearedBanner[] =
    "############################ BUFFER CLEARED ############################";
// A block larger than the receive buffer cannot be genuine; waiting for its
// end would only collect the stream without bound.
constexpr uint32_t cMaxCDCBlockSize = 1u << 20;
// Bytes looked through for a lost record magic: one header and 24 values.
constexpr size_t cRecordSearchWindow = cRecordHeaderSize + cRecordValueSize * cMaxRecordValues;
constexpr int cFirmwareWithNVSAnswer = 109;

std::string PeerText(TZor_TcpConnection &c) {
  return c.GetPeerAddress() + ":" + std::to_string(c.GetPeerPort()) + ", Me=" + c.GetLocalAddress() + ":" +
         std::to_string(c.GetLocalPort());
}

uint32_t LittleEndian32(const std::string &bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i)
    value |= uint32_t{static_cast<uint8_t>(bytes[i])} << (8 * i);
  return value;
}
}  // namespace

// ---- server object and data connection ------------------------------------------------

std::shared_ptr<TZor_TcpServer> TZor_NetworkDevice::Server() const {
  std::lock_guard<std::recursive_mutex> g(FServerLock);
  return FServer;
}

std::shared_ptr<TZor_TcpServer> TZor_NetworkDevice::TakeServer() {
  std::lock_guard<std::recursive_mutex> g(FServerLock);
  return std::move(FServer);
}

bool TZor_NetworkDevice::HasDataConnection() const {
  std::lock_guard<std::recursive_mutex> g(FServerLock);
  return FDeviceDataConnection != nullptr;
}

bool TZor_NetworkDevice::DataConnectionConnected() const {
  std::lock_guard<std::recursive_mutex> g(FServerLock);
  return FDeviceDataConnection && FDeviceDataConnection->IsConnected();
}

void TZor_NetworkDevice::DisconnectDataConnection() {
  // Only shuts the socket down; the connection's thread ends on its own.
  std::lock_guard<std::recursive_mutex> g(FServerLock);
  if (FDeviceDataConnection) FDeviceDataConnection->Disconnect();
}

void TZor_NetworkDevice::SetServerPort(uint16_t value) {
  uint16_t current = FServerPort;
  LogText(GetLogId(),
          FDbgTag + ".SetServerPort: old=" + std::to_string(current) + ", new=" + std::to_string(value));
  if (current == 0)
    FServerPort = value;
  else if (current != value)
    LogWarn(GetLogId(), FDbgTag + ".SetServerPort failed, already running");
}

bool TZor_NetworkDevice::StartServer() {
  // Waits for a stop in progress on a connection thread: until it is done
  // the port is still bound.
  std::lock_guard<std::mutex> stopping(FServerStopLock);
  {
    std::lock_guard<std::recursive_mutex> g(FServerLock);
    // An inactive server (left by ForceClose) is replaced; reusing it would
    // send the device to a port nobody listens on.
    if (FServer && FServer->IsActive()) return true;
  }
  TakeServer().reset();
  LogText(GetLogId(), FDbgTag + ".StartServer");
  auto server = std::make_shared<TZor_TcpServer>();
  server->SetOnConnect([this](TZor_TcpConnection &c) { ServerConnect(c); });
  server->SetOnExecute([this](TZor_TcpConnection &c) { ServerExecute(c); });
  server->SetOnDisconnect([this](TZor_TcpConnection &c) { ServerDisconnect(c); });
  LogText(GetLogId(), FDbgTag + ".StartServer.activate");
  FSystemServerPort = FServerPort == 0;
  server->SetPort(FServerPort);
  if (!server->Activate()) {
    std::string text = ReplaceLineBreaks(platform::SystemErrorText(server->GetLastError()), ' ');
    SetError(Zor_Err_StartServerFailed, text);
    LogErr(GetLogId(), FDbgTag + ".StartServer.activate failed: " + text);
    return false;
  }
  uint16_t port = server->GetPort();
  if (FServerPort == 0) FServerPort = port;
  {
    std::lock_guard<std::recursive_mutex> g(FServerLock);
    FServer = server;
  }
  LogText(GetLogId(),
          FDbgTag + " Server started on port: " + std::to_string(port) + " = 0x" + IntToHex(port, 4));
  return true;
}

bool TZor_NetworkDevice::StopServer() {
  // Only one thread stops the server. Another one finding it busy leaves it
  // to that thread: waiting could deadlock, as deactivating waits for the
  // connection threads.
  // Deactivating waits for the data threads: one still sending its DISCONN
  // gets a short grace only.
  BoundDataThreadDisconn();
  std::unique_lock<std::mutex> stopping(FServerStopLock, std::try_to_lock);
  if (!stopping.owns_lock()) return true;
  std::shared_ptr<TZor_TcpServer> server = Server();
  if (!server || !server->IsActive()) {
    TakeServer().reset();
    return true;
  }
  LogText(GetLogId(), FDbgTag + ".StopServer");
  bool disconnDue = FDeviceDisconnectNeccessary || DataConnectionConnected();
  StopData();
  if (disconnDue) {
    for (int i = 1; i <= 20 && server->ConnectionCount() > 0; ++i) {
      LogText(GetLogId(), FDbgTag + ".StopServer: " + std::to_string(i) + ". Sleep 10 ms");
      platform::SleepMs(10);
    }
  }
  if (size_t count = server->ConnectionCount()) {
    LogWarn(GetLogId(),
            FDbgTag + ".StopServer: Server has still connections(" + std::to_string(count) + ") -> clear it");
    server->ClearConnections();
  }
  // Taken out first: deactivating waits for the connection threads, whose
  // handlers must find the server gone instead of waiting for FServerLock.
  server = TakeServer();
  if (server) server->Deactivate();
  {
    std::lock_guard<std::recursive_mutex> g(FServerLock);
    FDeviceDataConnection = nullptr;
  }
  LogText(GetLogId(), FDbgTag + ".StopServer: Server stopped: " + GetServerIPAndPort());
  return true;
}

// ---- connection handlers (data server threads) --------------------------------------

void TZor_NetworkDevice::ServerConnect(TZor_TcpConnection &context) {
  THandlerGuard guard(*this);
  std::shared_ptr<TZor_TcpServer> server = Server();
  if (!server) {
    LogWarn(GetLogId(), FDbgTag + ".ServerConnect: FServer schon freigegeben");
    context.Disconnect();
    return;
  }
  LogText(GetLogId(),
          FDbgTag + ".ServerConnect: FServer.Contexts.Count=" + std::to_string(server->ConnectionCount()));
  LogText(GetLogId(), FDbgTag + ".ServerConnect: Peer=" + PeerText(context));
  // Only the device itself may feed this object's buffers.
  if (IPv4ToInt(context.GetPeerAddress()) != IPv4ToInt(FDeviceIP)) {
    LogWarn(GetLogId(), FDbgTag + ".ServerConnect: foreign peer " + context.GetPeerAddress() + " -> dropped");
    context.Disconnect();
    return;
  }
  {
    // Taken first so that no unit of the previous connection is half processed.
    std::lock_guard<std::mutex> d(FDataLock);
    {
      std::lock_guard<std::recursive_mutex> g(FServerLock);
      if (FDeviceDataConnection && FDeviceDataConnection != &context)
        LogWarn(GetLogId(), FDbgTag + ".ServerConnect: another DeviceDataConnection");
      FDeviceDataConnection = &context;
    }
    // A new connection starts on a unit boundary: an old partial unit would
    // be joined onto its first bytes.
    if (!FremainingData.empty())
      LogWarn(GetLogId(), FDbgTag + ".ServerConnect: drop remaining data, length=" +
                              std::to_string(FremainingData.size()));
    FremainingData.clear();
    // The duplicate check compares with the last block of this connection
    // only: a restarted device may begin with the header it ended on.
    FLastCDCBlockString.clear();
  }
  LogText(GetLogId(),
          FDbgTag + ".ServerConnect: set ReadTimeout " + std::to_string(DataReadTimeoutMs) + "ms");
  context.SetReadTimeout(DataReadTimeoutMs);
}

void TZor_NetworkDevice::ServerDisconnect(TZor_TcpConnection &context) {
  THandlerGuard guard(*this);
  bool isData;
  {
    std::lock_guard<std::recursive_mutex> g(FServerLock);
    isData = FDeviceDataConnection == &context;
    // The connection object goes away after this handler; never keep it.
    if (isData) FDeviceDataConnection = nullptr;
  }
  std::shared_ptr<TZor_TcpServer> server = Server();
  if (!server) {
    LogWarn(GetLogId(), FDbgTag + ".ServerDisconnect: FServer schon freigegeben");
    if (isData) FDeviceDisconnectRequested = false;
    return;
  }
  if (size_t count = server->ConnectionCount(); count > 1)
    LogWarn(GetLogId(), FDbgTag + ".ServerDisconnect: FServer.Contexts.Count=" + std::to_string(count));
  LogText(GetLogId(), FDbgTag + ".ServerDisconnect: Peer=" + PeerText(context));
  if (!isData) {
    LogWarn(GetLogId(), FDbgTag + ".ServerDisconnect: not DeviceDataConnection!");
    return;
  }
  LogText(GetLogId(), FDbgTag + ".ServerDisconnect: DeviceDataConnection");
  if (!FDeviceDisconnectRequested) {
    // The device ended the session on its own.
    LogWarn(GetLogId(), FDbgTag + ".ServerDisconnect: unexpected -> StopData");
    platform::TZor_AbortFlag abort = platform::MakeAbortFlag();
    {
      std::lock_guard<std::mutex> g(FDisconnLock);
      FDataThreadDisconn = abort;
    }
    FDeviceDisconnectNeccessary = true;
    SendDisconn(abort);
    FDeviceDisconnectNeccessary = false;
    {
      std::lock_guard<std::mutex> g(FDisconnLock);
      FDataThreadDisconn.reset();
    }
    FDisconnDone.notify_all();
    LogWarn(GetLogId(), FDbgTag + ".ServerDisconnect: unexpected -> StopServer");
    StopServer();
    SetError(Zor_Err_Disconnected, GetErrorMessage());
    FPortIsOpened = false;
    LogWarn(GetLogId(), FDbgTag + ".ServerDisconnect -> Zor_Err_Disconnected");
    AddMissingDisconnect("ServerDisconnect");
  }
  FDeviceDisconnectRequested = false;
}

void TZor_NetworkDevice::ServerExecute(TZor_TcpConnection &context) {
  THandlerGuard guard(*this);
  if (!Server()) {
    LogWarn(GetLogId(), FDbgTag + ".ServerExecute: FServer schon freigegeben");
    context.Disconnect();
    return;
  }
  if (FFirstReceive.exchange(false)) FFirstReceiveTicks = platform::GetTicks();
  std::string data;
  TZor_ReadResult rr = context.Read(data, DataReadTimeoutMs);
  if (rr == TZor_ReadResult::rrClosed ||
      (rr == TZor_ReadResult::rrError && context.GetLastError().Code == platform::WSA_ECONNRESET)) {
    LogText(GetLogId(),
            FDbgTag + ".ServerExecute ignore Exception in ReadBytes: " + context.GetLastErrorText());
    return;
  }
  if (rr == TZor_ReadResult::rrError) {
    SetError(GetErrorCode(), FDbgTag + ".ServerExecute read failed: " + context.GetLastErrorText());
    LogErr(GetLogId(), GetErrorMessage());
  }
  if (!data.empty())
    LogText(GetLogId(), FDbgTag + ".ServerExecute: received len=" + std::to_string(data.size()));
  // One connection at a time: the unit remainder and the last CDC block
  // belong to the current data connection only.
  std::lock_guard<std::mutex> serving(FDataLock);
  {
    std::lock_guard<std::recursive_mutex> g(FServerLock);
    if (FDeviceDataConnection != &context) {
      if (!data.empty())
        LogWarn(GetLogId(), FDbgTag + ".ServerExecute: not DeviceDataConnection -> ignore len=" +
                                std::to_string(data.size()));
      return;
    }
  }
  if (!FremainingData.empty()) {
    data = FremainingData + data;
    FremainingData.clear();
    LogText(GetLogId(),
            FDbgTag + ".ServerExecute: prepend remaining data, total length=" + std::to_string(data.size()));
  }
  if (data.empty()) return;
  try {
    while (FPeerType == ptUnknown && !data.empty()) {
      CheckPeer(data);
      if (FPeerType == ptUnknown) data.erase(0, 1);
    }
    if (FPeerType == ptColdfire)
      ServerExecute_CDC(data);
    else if (FPeerType == ptESP)
      ServerExecute_ESP(data);
  } catch (const std::exception &e) {
    std::string message = "NetworkDevice.ServerExecute.Exception: " + ReplaceLineBreaks(e.what(), ' ') +
                          ", Socket=Peer=" + context.GetPeerAddress() + ":" +
                          std::to_string(context.GetPeerPort());
    SetError(Zor_Err_ReceiveServerFailed, message);
    LogExcept(GetLogId(), message, e);
  }
}

// ---- peer recognition --------------------------------------------------------------------

void TZor_NetworkDevice::CheckPeer(const std::string &data) {
  TCDCBlockHeader cdc;
  TZor_RecordHeader record;
  if (cdc.Read(data) && cdc.IsValid()) {
    FPeerType = ptColdfire;
    if (GetLowLevelLog()) LogText(GetLogId(), FDbgTag + ".CheckPeer: Coldfire");
    LogText(GetLogId() + 1, cCDCStreamLogHeading);
  } else if (ReadRecordHeader(data, record) != rs_BadMagic && record.MagicOk() &&
             record.Count <= cMaxRecordValues && data.size() >= cRecordHeaderSize) {
    FPeerType = ptESP;
    if (GetLowLevelLog()) LogText(GetLogId(), FDbgTag + ".CheckPeer: ESP");
    LogText(GetLogId() + 1, cRecordStreamLogHeading);
    FFirstCommand = true;
    GetReceiveBuffer().SetNoEOL();
    BeginHardFeatureRequest();
    StartHardFeatureThread();
  } else {
    if (GetLowLevelLog())
      LogText(GetLogId(), FDbgTag + ".CheckPeer: unknown=" + BytesToHex(data.substr(0, 32)));
    FFirstCommand = false;
  }
}

// ---- common helpers ------------------------------------------------------------------------

void TZor_NetworkDevice::LogData(const std::string &bytes) {
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\xBF', start);
    end = end == std::string::npos ? bytes.size() : end + 1;
    LogText(GetLogId() + 1, BytesToHex(bytes.substr(start, end - start)));
    start = end;
  }
}

void TZor_NetworkDevice::ClearReceiveBufferBanner(bool warn) {
  GetReceiveBuffer().Clear();
  (warn ? LogWarn : LogText)(GetLogId() + 1, cBufferClearedBanner);
}

void TZor_NetworkDevice::StoreReceived(const std::string &payload, const std::string &logHead) {
  TCircularBuffer &buffer = GetReceiveBuffer();
  if (!buffer.WriteAnsiString(payload)) {
    SetError(Zor_Err_ReceiveBufferOverflow, "NetworkDevice: Receive buffer overflow, buffer cleared");
    LogWarn(GetLogId(), logHead + "NetworkDevice: Receive buffer overflow, buffer cleared");
    ClearReceiveBufferBanner(true);
    buffer.WriteAnsiString(payload);
  }
  SaveBinaryData(payload.data(), payload.size());
}

// ---- ColdFire: CDC blocks -----------------------------------------------------------------

void TZor_NetworkDevice::ServerExecute_CDC(std::string &data) {
  while (!data.empty()) {
    if (data.size() < cCDCHeaderSize) {
      LogText(GetLogId(), "### NetworkDevice: CDC-Header-Block too small, Length=" +
                              std::to_string(data.size()) + " -> remaining data ###");
      FremainingData = data;
      return;
    }
    TCDCBlockHeader h;
    h.Read(data);
    if (!h.IsValid() || h.GetSize() > cMaxCDCBlockSize) {
      // Searching behind the first byte makes progress also past a header
      // that carries the magic but impossible sizes.
      size_t next = data.find(cMagicBytes, 1);
      std::string dropped = data.substr(0, next == std::string::npos ? data.size() : next);
      LogWarn(GetLogId(), "### NetworkDevice CDC-Header-Block has bad format: ignore=" + BytesToHex(dropped) +
                              " bad header=" + h.WordsText());
      LogWarn(GetLogId() + 1, "bad CDC block=" + BytesToHex(dropped));
      data.erase(0, dropped.size());
      continue;
    }
    const std::string headerText = h.WordsText();
    const size_t blockSize = cCDCHeaderSize + h.GetSize();
    // Decided only on a whole block, so that a block split across reads is
    // checked once, with the reconnect state it arrived under.
    if (data.size() < blockSize) {
      LogWarn(GetLogId(), "### NetworkDevice: too less data received, Length=" + std::to_string(data.size()) +
                              " -> remaining data" + (GetLowLevelLog() ? ": " + BytesToHex(data) : " ###"));
      FremainingData = data;
      return;
    }
    std::string body = data.substr(cCDCHeaderSize, h.GetSize());
    std::string payload(h.Payload(body));
    data.erase(0, blockSize);
    if (!AcceptCDCHeader(h, headerText, payload)) continue;
    RouteCDCPayload(h, headerText, payload);
  }
}

bool TZor_NetworkDevice::AcceptCDCHeader(const TCDCBlockHeader &h, const std::string &headerText,
                                         const std::string &payload) {
  if (GetLowLevelLog()) {
    LogText(GetLogId(), "### CDC-Header-Block: " + headerText + " ###");
    LogText(GetLogId(), h.Description());
  }
  LogText(GetLogId() + 1, headerText);
  uint8_t user = h.GetUser();
  if (user != GetUserID()) {
    SetCFUserID(user);
    LogText(GetLogId(), "### NetworkDevice: CF-UserID=" + std::to_string(user));
  }
  FCFBufferAmount = h.GetWaitingBytes();
  const uint32_t repeat = h.GetRepeatAddr();
  bool requested = FisRequestedReconnect.exchange(false);
  bool reconnected = !requested && FisReconnected.exchange(false);
  if (requested || reconnected) {
    LogText(GetLogId(), requested ? "### CDC-Header-Block after requested reconnect "
                                  : "### CDC-Header-Block after reconnect ");
    const uint32_t last = FPeerRepeatAddr;
    if (h.GetByteCount() + last == repeat) {
      LogText(GetLogId(), "### CDC-Header-Block fits");
    } else if (last == repeat) {
      if (GetLowLevelLog())
        LogText(GetLogId(), "### CDC-Header-Block repeated -> ignore " + BytesToHex(payload));
      LogData(payload);
      return false;
    } else {
      std::string message =
          h.IsConsistent() ? "Data lost! Device restarted" : "Data lost! Data transfer restarted";
      SetError(Zor_Err_Reconnected, message);
      LogWarn(GetLogId(), "### NetworkDevice after reconnect: " + message);
      ClearReceiveBufferBanner(true);
      if (!h.HasFlag(cdc_BufferCleared)) GetReceiveBuffer().SetReceivedDataIgnored();
    }
  }
  FPeerRepeatAddr = repeat;
  return true;
}

void TZor_NetworkDevice::RouteCDCPayload(const TCDCBlockHeader &h, const std::string &headerText,
                                         const std::string &payload) {
  if (h.HasFlag(cdc_BufferCleared)) {
    ClearReceiveBufferBanner(false);
    LogText(GetLogId(), "### NetworkDevice Buffer cleared ###");
    if (FIgnoreDataUntilStreamInterrupted.exchange(false))
      LogText(GetLogId(), "### NetworkDevice Reset IgnoreDataUntilStreamInterrupted");
    GetReceiveBuffer().SetReceivedDataIgnored();
  }
  if (h.HasFlag(cdc_ChannelSelection)) {
    uint32_t value = h.GetChannelSelection();
    std::string report = "p!" + IntToBigEndianText32(value).substr(1);
    std::string frame = BuildTextFrame(report);
    if (!GetReceiveBuffer().InsertAnsiString(frame)) {
      SetError(Zor_Err_ReceiveBufferOverflow, "NetworkDevice: Receive buffer overflow, buffer cleared");
      ClearReceiveBufferBanner(true);
      GetReceiveBuffer().InsertAnsiString(frame);
    }
    SaveBinaryData(frame.data(), frame.size());
    LogText(GetLogId(), "### NetworkDevice ChannelSelectionData added: " + BytesToHex(frame));
  }
  if (headerText == FLastCDCBlockString) {
    LogWarn(GetLogId(), "### NetworkDevice: received same block -> ignore it");
    if (!GetLowLevelLog()) LogWarn(GetLogId(), "### NetworkDevice: blockData=" + FLastCDCBlockString);
    LogWarn(GetLogId(), "### NetworkDevice: Data=" + BytesToHex(payload));
    LogData(payload);
    FErrorFlags |= 1;
    return;
  }
  FLastCDCBlockString = headerText;
  if (payload.empty()) return;
  FErrorFlags = 0;
  MarkReceived();
  bool tools = h.HasFlag(cdc_ToolsData);
  if (!tools && GetDeviceStartState() == ds_unknown) CheckTimeStampBytes(payload);
  if (tools) {
    if (GetLowLevelLog()) {
      LogText(GetLogId(), "NetworkDevice ToolsData Received(" + std::to_string(payload.size()) +
                              "): " + BytesToHex(payload));
      LogText(GetLogId() + 1, "Tools  " + BytesToHex(payload));
    }
    GetToolsBuffer().WriteAnsiString(payload);
  } else if (FIgnoreDataUntilStreamInterrupted) {
    LogText(GetLogId(), "NetworkDevice: IgnoreDataUntilStreamInterrupted (" + std::to_string(payload.size()) +
                            "): " + BytesToHex(payload));
    GetReceiveBuffer().SetReceivedDataIgnored();
    LogData(payload);
  } else {
    StoreReceived(payload, "");
    LogData(payload);
    if (GetLowLevelLog())
      LogText(GetLogId(),
              "NetworkDevice Received(" + std::to_string(payload.size()) + "): " + BytesToHex(payload));
  }
}

// ---- ESP: transmit reports -------------------------------------------------------------------

void TZor_NetworkDevice::ServerExecute_ESP(std::string &data) {
  size_t p = 0;
  const std::string magic(cRecordMagic, 4);
  while (p < data.size()) {
    while (data.size() - p >= 4 && data.compare(p, 4, magic) != 0) {
      std::string found = data.substr(p, 4);
      LogWarn(GetLogId(), "### NetworkDevice: TransmitReport Magic missing found=" + found + "=0x" +
                              BytesToHex(found) + " expected=" + magic);
      std::string window = data.substr(p, cRecordSearchWindow);
      LogWarn(GetLogId(), "### NetworkDevice: ansi=" + BytesToHex(window));
      size_t k = window.find(magic);
      if (k != std::string::npos) {
        LogText(GetLogId(), "### NetworkDevice: TransmitReport Magic on pos=" + std::to_string(k + 1));
        LogText(GetLogId() + 1, BytesToHex(window.substr(0, k)));
        p += k;
      } else {
        LogWarn(GetLogId(), "### NetworkDevice: TransmitReport no Magic found");
        LogText(GetLogId() + 1, BytesToHex(window));
        // The last bytes may start a magic that the next read completes.
        size_t advance = window.size() > 3 ? window.size() - 3 : window.size();
        p += advance;
      }
    }
    if (data.size() - p < 4) {
      std::string rest = data.substr(p);
      if (!rest.empty())
        LogWarn(GetLogId(), "### NetworkDevice: TransmitReport Magic Rest=" + BytesToHex(rest));
      FremainingData = rest;
      return;
    }
    TZor_Record record;
    TZor_RecordStatus status = ReadRecord(std::string_view(data).substr(p), record);
    if (status == rs_BadCount) {
      // Not a record after all: look for the next magic behind this one.
      LogWarn(GetLogId(),
              "### NetworkDevice: TransmitReport bad value count " + std::to_string(record.Header.Count));
      p += 1;
      continue;
    }
    size_t length = status == rs_Ok
                        ? record.Header.Size()
                        : cRecordHeaderSize +
                              cRecordValueSize * static_cast<uint8_t>(data.size() - p >= 6 ? data[p + 5] : 0);
    if (status != rs_Ok) {
      FremainingData = data.substr(p);
      LogText(GetLogId(),
              "### NetworkDevice: TransmitReport too small, Length=" + std::to_string(data.size() - p) +
                  " needed=" + std::to_string(length) + " -> remaining data ###" +
                  (GetLowLevelLog() ? ": " + BytesToHex(FremainingData) : ""));
      return;
    }
    std::string raw = data.substr(p, length);
    if (GetLowLevelLog())
      LogText(GetLogId(), "NetworkDevice Received(" + std::to_string(length) + "): " + BytesToHex(raw));
    LogText(GetLogId(), "### Transmit-Report: " + DescribeRecord(record, GetFlagVersion()));
    RouteESPRecord(record, raw);
    p += length;
  }
}

void TZor_NetworkDevice::RouteESPRecord(const TZor_Record &record, const std::string &raw) {
  const TZor_RecordHeader &h = record.Header;
  const uint8_t type = h.Type;
  bool tools = false;
  bool bufferCleared = false, debug = false, featureAnswer = false;
  // The device's answer to the NVS read of item 5, the hardware feature word.
  const bool item5Answer = type == rt_NVSData && h.NVSKind() == 'i' && h.NVSNumber() == 5;
  if (type == rt_ToolsData || type == 'v') {
    tools = true;
    if (type == rt_ToolsData && GetFirmwareVersionNumber() < cFirmwareWithNVSAnswer) {
      if (FReadHardFeatureRequested) {
        // The answer to this object's own request: never a tools answer for
        // the engine, kept (in the receive buffer) only with Opt7019.
        TakeHardFeature(record);
        tools = false;
        featureAnswer = true;
        LogText(GetLogId(), "response to readHardFeature -> toolsData=False");
      } else {
        std::string last = GetLastCommand();
        if (last.compare(0, 3,
                         std::string("\x85"
                                     "Eb",
                                     3)) == 0) {
          tools = false;
          LogText(GetLogId(), "response is blob -> toolsData=False");
        }
      }
      if (GetLowLevelLog() && tools)
        LogText(GetLogId(), "Tools: tReport=" + DescribeRecord(record, GetFlagVersion()));
      if (GetCmdResponse() == crt_ReadNVS) SetCmdResponse(crt_none);
    }
  } else if ((type == rt_NVSData && h.NVSKind() == 'b') || type != rt_NVSData ||
             (item5Answer && FReadHardFeatureRequested)) {
    if (type == rt_Debug) {
      debug = true;
      if (GetLowLevelLog()) LogText(GetLogId(), "Debug" + RecordValuesText(record));
      LogText(GetLogId() + 2, DescribeRecord(record, GetFlagVersion()));
    } else if (type == rt_Status && h.Word == cStatusBufferCleared) {
      bufferCleared = true;
      GetReceiveBuffer().Clear();
      LogText(GetLogId(), "### NetworkDevice TransmitReport BufferCleared ###");
      if (FIgnoreDataUntilStreamInterrupted.exchange(false))
        LogText(GetLogId(), "### NetworkDevice Reset IgnoreDataUntilStreamInterrupted");
      GetReceiveBuffer().SetReceivedDataIgnored();
    } else {
      uint8_t user = static_cast<uint8_t>(h.UserIdMinus1() + 1);
      if (user > 4) {
        LogWarn(GetLogId(), "### NetworkDevice: TransmitReport invalid userId=0x" + IntToHex(user, 2));
      } else if (user != GetUserID()) {
        SetCFUserID(user);
        LogText(GetLogId(), "### NetworkDevice: CF-UserID=" + std::to_string(user));
      }
    }
  } else {
    tools = true;
    if (GetLowLevelLog()) LogText(GetLogId(), "Tools: tReport=" + DescribeRecord(record, GetFlagVersion()));
  }
  LogText(GetLogId() + 1, RecordStreamLogLine(record));
  FErrorFlags = 0;
  MarkReceived();
  if (type == rt_Status && h.Word < cStatusAckLimit) {
    TCmdResponseType awaited = GetCmdResponse();
    LogText(GetLogId(), FDbgTag + ".ServerExecute_ESP TransmitReport Is7020 old: CmdResponse=" +
                            CmdResponseTypeToText(awaited));
    if (awaited != crt_channel) SetCmdResponse(crt_none);
    LogText(GetLogId(), FDbgTag + ".ServerExecute_ESP TransmitReport Is7020 new: CmdResponse=" +
                            CmdResponseTypeToText(GetCmdResponse()));
  }
  if (type == rt_NVSData && GetCmdResponse() == crt_ReadNVS) {
    SetCmdResponse(crt_none);
    LogText(GetLogId(), FDbgTag + ".ServerExecute_ESP TransmitReport IsNVS -> CmdResponse=" +
                            CmdResponseTypeToText(crt_none));
  }
  if (tools) {
    std::string payload = RecordValuesText(record);
    if (GetLowLevelLog())
      LogText(GetLogId(), "NetworkDevice ToolsData Received(" + std::to_string(record.Values.size()) + "->" +
                              std::to_string(payload.size()) + "): " + BytesToHex(payload));
    // A storage answer carries its item: kept under it, so a late or repeated
    // answer is never taken for another item.
    if (type == rt_NVSData)
      StoreNVSAnswer(h.Word, payload);
    else
      GetToolsBuffer().WriteAnsiString(payload);
    return;
  }
  if (bufferCleared || debug) return;
  if (item5Answer) {
    if (!GetLowLevelLog())
      LogText(GetLogId(), "NetworkDevice Received(" + std::to_string(raw.size()) + "): " + BytesToHex(raw));
    TakeHardFeature(record);
    featureAnswer = true;
  }
  if (featureAnswer && !GetOpt7019()) return;
  StoreReceived(raw, "");
  if (h.IsMeasurement() && GetCmdResponse() != crt_none)
    TrackResponse(RecordReportHeader(h, GetFlagVersion()));
}

void TZor_NetworkDevice::TakeHardFeature(const TZor_Record &record) {
  uint32_t word = LittleEndian32(RecordValuesText(record));
  LogText(GetLogId(), "NetworkDevice HardFeature Received 0x" + IntToHex(word, 8));
  SetHardFeature32(word);
  EndHardFeatureRequest();
}

namespace {
// The scrambler selection a measurement header shows matches command byte c.
bool ScramblerMatches(uint16_t header, uint8_t c) {
  uint16_t bits = (header >> 4) & 3;
  return (c == 'P' && bits == 0) || (c == '^' && bits == 1) || (c == '_' && bits == 2);
}
}  // namespace

void TZor_NetworkDevice::TrackResponse(uint16_t header) {
  const uint16_t old = GetLUMReportHeader();
  SetLUMReportHeader(header);
  std::string last = GetLastCommand();
  const uint8_t c = last.empty() ? 0 : static_cast<uint8_t>(last[0]);
  const std::string head = FDbgTag + ".ServerExecute_ESP LUMMeasurement";
  const std::string values = " old=" + IntToHex(old, 4) + ", new=" + IntToHex(header, 4);
  TCmdResponseType awaited = GetCmdResponse();
  std::string why;
  switch (awaited) {
    case crt_interval:
      if ((old & 0x0F00) != (header & 0x0F00))
        why = ", interval changed:" + values;
      else if ((c & 0x0F) == ((old >> 8) & 0x0F))
        why = ", same interval:" + values;
      break;
    case crt_mode:
      if ((old & 0xF000) != (header & 0xF000))
        why = ", mode changed:" + values;
      else if ((c & 0x0F) == ((old >> 12) & 0x0F))
        why = ", same mode:" + values;
      break;
    case crt_scrambler:
      if (old == 0xFFFF) {
        if (ScramblerMatches(header, c)) why = ", scrambler ok: old=FFFF, new=" + IntToHex(header, 4);
      } else if ((old & 0x30) == (header & 0x30)) {
        if (ScramblerMatches(old, c)) why = ", same scrambler:" + values;
      } else {
        why = ", scrambler changed:" + values;
      }
      break;
    case crt_channel: why = " for channel cmd"; break;
    case crt_phaseReset: why = " for phase reset"; break;
    default: break;
  }
  if (!why.empty()) {
    LogText(GetLogId(), head + why);
    SetCmdResponse(crt_none);
  }
  LogText(GetLogId(), head + " CmdResponse=" + CmdResponseTypeToText(GetCmdResponse()));
}

}  // namespace zor
