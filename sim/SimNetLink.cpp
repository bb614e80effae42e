#include "sim/SimNetLink.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "foundation/LogUnit.h"
#include "platform/Zor_SimHosts.h"
#include "sim/SimFormats.h"

namespace zor {

using platform::TZor_ReadResult;
using platform::TZor_TcpConnection;

namespace {

constexpr size_t MaxQueuedOutputs = 10000;  // per session, when the tool stops reading
constexpr size_t MaxCdcPayload = 4096;      // larger outputs go out in several blocks
constexpr uint32_t MaxBlockLen = 1048576;
constexpr size_t MaxLinkLog = 500;
constexpr uint32_t DataWriteTimeoutMs = 2000;
constexpr size_t MaxBlockPieces = 100000;

// Socket timing is real time (the tool's socket timeouts are), so the link
// measures it on the steady clock, not on the injectable one.
uint64_t RealMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string Hex(const std::string &bytes, size_t max = 64) {
  static const char *digits = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    auto b = static_cast<uint8_t>(bytes[i]);
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  if (bytes.size() > max) out += "...";
  return out;
}

std::string Line(const std::string &word) { return word + "\r\n"; }

}  // namespace

// One control request as it came over the wire.
struct TSimNetLink::TRequest {
  TSimRequestKind Kind = srkConnect;
  std::string Keyword;
  char UserField = ' ';
  uint32_t Ip = 0;  // address block: the tool's data server
  uint16_t Port = 0;
  std::string Command;         // CMD
  uint32_t Len = 0, Addr = 0;  // block transfer
  bool Crypted = false;
  uint8_t Value = 0;  // set-port
  bool WantAnswer = false;

  std::string Text() const {
    std::string t = Keyword;
    if (Kind & (srkConnect | srkDisconn | srkTry)) t += std::string(" user=") + UserField;
    if (Kind != srkSetPort) t += " server=" + SimIpText(Ip) + ":" + std::to_string(Port);
    if (Kind == srkCmd) t += " cmd=" + Hex(Command);
    if (Kind == srkBlock) t += " len=" + std::to_string(Len) + " addr=" + std::to_string(Addr);
    if (Kind == srkSetPort) t += " value=" + Hex(std::string(1, static_cast<char>(Value)));
    return t;
  }
};

namespace {

enum class TParse { Incomplete, Complete, Invalid };

struct TPrefix {
  const char *Text;
  TSimRequestKind Kind;
};
constexpr TPrefix Prefixes[] = {
    {"CONNECT", srkConnect}, {"DISCONN", srkDisconn}, {"TRYBABY", srkTry}, {"CMD.... ", srkCmd},
    {"BLO.... ", srkBlock},  {"BLK.... ", srkBlock},  {"PO", srkSetPort},  {"P ", srkSetPort},
};

// Address block: four octets, ':', port high byte first.
bool ParseAddressBlock(const std::string &b, size_t at, uint32_t &ip, uint16_t &port) {
  if (b[at + 4] != ':') return false;
  ip = SimReadBE32(b, at);
  port = static_cast<uint16_t>(static_cast<uint8_t>(b[at + 5]) << 8 | static_cast<uint8_t>(b[at + 6]));
  return true;
}

// Cuts one request off the front of `b`.
template <class TReq>
TParse ParseRequest(const std::string &b, TReq &req, size_t &used, std::string &why) {
  const TPrefix *match = nullptr;
  bool possible = false;
  for (const TPrefix &p : Prefixes) {
    std::string text = p.Text;
    size_t n = std::min(text.size(), b.size());
    if (b.compare(0, n, text, 0, n) != 0) continue;
    possible = true;
    if (b.size() >= text.size()) {
      match = &p;
      break;
    }
  }
  if (!possible) {
    why = "unknown request " + Hex(b, 24);
    return TParse::Invalid;
  }
  if (!match) return TParse::Incomplete;
  req = TReq{};
  req.Kind = match->Kind;
  req.Keyword = std::string(match->Text).substr(0, match->Kind & (srkCmd | srkBlock) ? 3 : 7);
  switch (match->Kind) {
    case srkConnect:
    case srkDisconn:
    case srkTry:
      if (b.size() < 17) return TParse::Incomplete;
      used = 17;
      req.UserField = b[7];
      if (req.UserField != ' ' && (req.UserField < '0' || req.UserField > '3')) {
        why = req.Keyword + " with user field 0x" + Hex(b.substr(7, 1));
        return TParse::Invalid;
      }
      if (!ParseAddressBlock(b, 8, req.Ip, req.Port) || b.compare(15, 2, "\r\n") != 0) {
        why = req.Keyword + " malformed: " + Hex(b.substr(0, 17));
        return TParse::Invalid;
      }
      return TParse::Complete;
    case srkCmd: {
      if (b.size() < 17) return TParse::Incomplete;
      size_t n = static_cast<uint8_t>(b[16]);
      if (b.size() < 17 + n) return TParse::Incomplete;
      used = 17 + n;
      req.Command = b.substr(17, n);
      if (!ParseAddressBlock(b, 8, req.Ip, req.Port) || b[15] != ' ' || n == 0) {
        why = "CMD malformed: " + Hex(b.substr(0, used));
        return TParse::Invalid;
      }
      return TParse::Complete;
    }
    case srkBlock:
      if (b.size() < 24) return TParse::Incomplete;
      used = 24;
      req.Crypted = b[2] == 'O';
      req.Len = SimReadLE32(b, 16);
      req.Addr = SimReadLE32(b, 20);
      if (!ParseAddressBlock(b, 8, req.Ip, req.Port) || b[15] != ' ') {
        why = "block header malformed: " + Hex(b.substr(0, 24));
        return TParse::Invalid;
      }
      return TParse::Complete;
    case srkSetPort:
      if (b.size() < 3) return TParse::Incomplete;
      used = 3;
      req.WantAnswer = b[1] == 'O';
      req.Value = static_cast<uint8_t>(b[2]);
      return TParse::Complete;
    default: break;
  }
  return TParse::Invalid;
}

}  // namespace

// A user session: its slot, the tool's data server, and the sender thread
// that owns the data connection.
struct TSimNetLink::TSession {
  int Slot = 0;
  uint32_t Ip = 0;
  uint16_t Port = 0;
  std::mutex Lock;
  std::condition_variable Cond;
  std::deque<TSimOutput> Queue;
  bool Stop = false;
  bool Cut = false;  // close the data connection (a fault), keep the session
  std::atomic<bool> Connected{false};
  std::atomic<bool> Finished{false};  // the sender has left its loop
  std::thread Thread;
};

TSimNetLink::TSimNetLink(TSimDevice &device, TSimNetLinkConfig config)
    : FDevice(device), FConfig(std::move(config)) {}

TSimNetLink::~TSimNetLink() { Stop(); }

// Takes only the log lock, so it may be called with any other lock held.
void TSimNetLink::Log(const std::string &text) const {
  std::lock_guard<std::mutex> g(FLogLock);
  LogText(FConfig.LogId, "TSimNetLink(" + FLogAddress + "): " + text);
  FLinkLog.push_back(text);
  if (FLinkLog.size() > MaxLinkLog) FLinkLog.pop_front();
}

void TSimNetLink::SetAddress(const std::string &address) {
  {
    std::lock_guard<std::mutex> g(FLock);
    FAddress = address;
  }
  std::lock_guard<std::mutex> g(FLogLock);
  FLogAddress = address;
}

std::vector<std::string> TSimNetLink::LinkLog() const {
  std::lock_guard<std::mutex> g(FLogLock);
  return {FLinkLog.begin(), FLinkLog.end()};
}

std::string TSimNetLink::GetAddress() const {
  std::lock_guard<std::mutex> g(FLock);
  return FAddress;
}

uint16_t TSimNetLink::GetControlPort() const {
  std::lock_guard<std::mutex> g(FLock);
  return FControlPort;
}

std::string TSimNetLink::GetLastErrorText() const {
  std::lock_guard<std::mutex> g(FLock);
  return FLastError;
}

TSimLinkFaults TSimNetLink::GetFaults() const {
  std::lock_guard<std::mutex> g(FLock);
  return FFaults;
}

void TSimNetLink::SetFaults(const TSimLinkFaults &faults) {
  std::lock_guard<std::mutex> g(FLock);
  FFaults = faults;
}

void TSimNetLink::SetStepFault(const TSimStepFault &fault) {
  std::lock_guard<std::mutex> g(FLock);
  FStep = fault;
  FStepCount = 0;
  FStepFired = false;
}

uint32_t TSimNetLink::GetStepCount() const {
  std::lock_guard<std::mutex> g(FLock);
  return FStepCount;
}

bool TSimNetLink::StepFaultFired() const {
  std::lock_guard<std::mutex> g(FLock);
  return FStepFired;
}

std::vector<TSimBlockPiece> TSimNetLink::BlockPieces() const {
  std::lock_guard<std::mutex> g(FLock);
  return FPieces;
}

bool TSimNetLink::IsServing() const {
  if (FDevice.IsSilent()) return false;
  std::lock_guard<std::mutex> g(FLock);
  return FServer != nullptr;
}

int TSimNetLink::SessionCount() const {
  std::lock_guard<std::mutex> g(FLock);
  return static_cast<int>(
      std::count_if(FSessions.begin(), FSessions.end(), [](auto &s) { return s != nullptr; }));
}

bool TSimNetLink::IsUserConnected(int slot) const {
  std::lock_guard<std::mutex> g(FLock);
  return slot >= 1 && slot <= 4 && FSessions[slot - 1];
}

bool TSimNetLink::IsDataConnected(int slot) const {
  std::lock_guard<std::mutex> g(FLock);
  return slot >= 1 && slot <= 4 && FSessions[slot - 1] && FSessions[slot - 1]->Connected;
}

// ------------------------------------------------------------------ start, stop

bool TSimNetLink::Start() {
  SetAddress(FConfig.BindAddress.empty() ? SimIpText(FDevice.GetIpAddress()) : FConfig.BindAddress);
  FDevice.SetSink([this](const TSimOutput &out) { OnOutput(out); });
  FDevice.SetEventHandler([this](const TSimEvent &e) { OnDeviceEvent(e); });
  if (!OpenControl()) return false;
  SetHostState(!FDevice.IsSilent());
  {
    std::lock_guard<std::mutex> g(FWorkLock);
    FStopping = false;
  }
  FWorker = std::thread(&TSimNetLink::WorkerLoop, this);
  return true;
}

void TSimNetLink::Stop() {
  {
    std::lock_guard<std::mutex> g(FWorkLock);
    FStopping = true;
  }
  FWorkCond.notify_all();
  if (FWorker.joinable()) FWorker.join();
  std::unique_ptr<platform::TZor_TcpServer> server;
  {
    std::lock_guard<std::mutex> g(FLock);
    server = std::move(FServer);
  }
  server.reset();  // joins the control connections
  for (int slot = 1; slot <= 4; ++slot) StopSender(DetachSession(slot), false);
  JoinSenders(true);
  FDevice.SetSink({});
  FDevice.SetEventHandler({});
  std::lock_guard<std::mutex> g(FLock);
  if (FClaimed) platform::ReleaseSimHost(FAddress);
  FClaimed = false;
  if (!FComingAddress.empty()) platform::ReleaseSimHost(FComingAddress);
  FComingAddress.clear();
}

bool TSimNetLink::OpenControl() {
  auto server = std::make_unique<platform::TZor_TcpServer>();
  std::string address = GetAddress();
  if (address != "0.0.0.0") server->SetBindAddress(address);
  // Back under a new address, the port opens before the host-state hook
  // gives the interface that address.
  server->SetFreeBind(true);
  // A system-chosen port is kept across restarts, as a device keeps its port.
  uint16_t port = FConfig.ControlPort;
  {
    std::lock_guard<std::mutex> g(FLock);
    if (port == 0) port = FControlPort;
  }
  server->SetPort(port);
  server->SetOnExecute([this](TZor_TcpConnection &c) { OnControlExecute(c); });
  bool ok = server->Activate();
  std::lock_guard<std::mutex> g(FLock);
  if (!ok) {
    FLastError = "control port " + address + ":" + std::to_string(port) +
                 " cannot be opened: " + platform::SystemErrorText(server->GetLastError());
    return false;
  }
  FControlPort = server->GetPort();
  FServer = std::move(server);
  return true;
}

void TSimNetLink::SetHostState(bool up) {
  std::string address;
  {
    std::lock_guard<std::mutex> g(FLock);
    address = FAddress;
    if (FConfig.ClaimHost && address != "0.0.0.0") {
      if (!FClaimed) {
        FClaimed = platform::ClaimSimHost(address, up);
        if (!FClaimed) Log("address " + address + " is held by another simulated host; pings do not follow");
      }
      if (FClaimed) platform::SetSimHostUp(address, up);
    }
  }
  if (FConfig.OnHostState) FConfig.OnHostState(address, up);
}

// ------------------------------------------------------------------ control port

void TSimNetLink::OnControlExecute(TZor_TcpConnection &conn) {
  Log("control connection from " + conn.GetPeerAddress() + ":" + std::to_string(conn.GetPeerPort()));
  std::string pending;
  while (ServeRequest(conn, pending)) {
  }
  conn.Disconnect();
}

// Reads and carries out one request; false when the connection is to be closed.
bool TSimNetLink::ServeRequest(TZor_TcpConnection &conn, std::string &pending) {
  TRequest req;
  size_t used = 0;
  std::string why;
  uint64_t start = RealMs();  // of the idle wait, then of the request once its first bytes are in
  bool started = !pending.empty();
  for (;;) {
    TParse p = pending.empty() ? TParse::Incomplete : ParseRequest(pending, req, used, why);
    if (p == TParse::Complete) break;
    if (p == TParse::Invalid) {
      Log("refused: " + why + "; connection closed");
      conn.Write(Line("er"));
      return false;
    }
    uint64_t limit = started ? FConfig.RequestTimeoutMs : FConfig.IdleTimeoutMs;
    uint64_t spent = RealMs() - start;
    if (spent >= limit) {
      if (!pending.empty()) Log("incomplete request " + Hex(pending, 24) + " timed out; connection closed");
      return false;
    }
    std::string chunk;
    TZor_ReadResult r = conn.Read(chunk, static_cast<uint32_t>(limit - spent));
    if (r == TZor_ReadResult::rrClosed || r == TZor_ReadResult::rrError) {
      if (!pending.empty()) Log("connection ended inside a request " + Hex(pending, 24));
      return false;
    }
    if (!started && !chunk.empty()) {
      started = true;
      start = RealMs();
    }
    pending += chunk;
  }
  pending.erase(0, used);
  Log("request " + req.Text());
  TBusyGuard busy(*this);  // a restart the request causes waits until its answer is out

  const TSimStepAction step = TakeStep(req);
  bool keepOpen = true;
  if (ReplaceRequest(conn, req, step, keepOpen)) return keepOpen;
  keepOpen = ServeRequestAsUsual(conn, req, pending);
  if (step == TSimStepAction::CloseData) CutData(req);
  return keepOpen;
}

TSimStepAction TSimNetLink::TakeStep(const TRequest &req) {
  std::lock_guard<std::mutex> g(FLock);
  if (!(FStep.Kinds & req.Kind)) return TSimStepAction::None;
  if (++FStepCount != FStep.At || FStep.Action == TSimStepAction::None) return TSimStepAction::None;
  FStepFired = true;
  Log("fault: step " + std::to_string(FStepCount) + " (" + req.Keyword +
      "): " + SimStepActionName(FStep.Action));
  return FStep.Action;
}

bool TSimNetLink::ReplaceRequest(TZor_TcpConnection &conn, const TRequest &req, TSimStepAction step,
                                 bool &keepOpen) {
  switch (step) {
    case TSimStepAction::DropControl: keepOpen = false; return true;
    case TSimStepAction::AnswerEr:
      Answer(conn, req.Kind, Line("er"));
      keepOpen = !(req.Kind & srkBlock);  // a refused block header leaves its data unreadable
      return true;
    case TSimStepAction::Silent: {
      // Held until the tool gives up; whatever it sends meanwhile is ignored.
      const uint64_t start = RealMs();
      std::string ignored;
      while (RealMs() - start < FConfig.IdleTimeoutMs) {
        TZor_ReadResult r =
            conn.Read(ignored, static_cast<uint32_t>(FConfig.IdleTimeoutMs - (RealMs() - start)));
        if (r == TZor_ReadResult::rrClosed || r == TZor_ReadResult::rrError) break;
        ignored.clear();
      }
      keepOpen = false;
      return true;
    }
    case TSimStepAction::Restart:
      Answer(conn, req.Kind, Line("ok"));
      FDevice.Restart();
      keepOpen = false;
      return true;
    case TSimStepAction::CorruptAnswer: {
      TSimFaults f = FDevice.GetFaults();
      if (f.CorruptOutputs >= 0) ++f.CorruptOutputs;
      FDevice.SetFaults(f);
      return false;
    }
    default: return false;
  }
}

void TSimNetLink::CutData(const TRequest &req) {
  std::shared_ptr<TSession> s;
  {
    std::lock_guard<std::mutex> g(FLock);
    if (int slot = FindSession(req)) s = FSessions[slot - 1];
  }
  if (!s) return;
  {
    std::lock_guard<std::mutex> g(s->Lock);
    s->Cut = true;
  }
  s->Cond.notify_all();
}

bool TSimNetLink::ServeRequestAsUsual(TZor_TcpConnection &conn, const TRequest &req, std::string &pending) {
  std::string forced = ForcedAnswer(req.Kind);
  if (!forced.empty()) {
    Log("fault: answer " + forced.substr(0, 2) + " instead");
    Answer(conn, req.Kind, forced);
    return !(req.Kind & srkBlock);  // a refused block header leaves its data unreadable
  }
  switch (req.Kind) {
    case srkConnect: Answer(conn, req.Kind, HandleConnect(req)); return true;
    case srkDisconn: {
      std::shared_ptr<TSession> ended;
      Answer(conn, req.Kind, HandleDisconn(req, ended));
      // The data connection closes after the answer, in the order the tool waits for them.
      StopSender(ended, true);
      return true;
    }
    case srkTry: Answer(conn, req.Kind, HandleTry(req)); return true;
    case srkCmd: {
      std::string answer = HandleCmd(req);
      if (answer.empty()) return false;  // the device went silent
      Answer(conn, req.Kind, answer);
      return true;
    }
    case srkBlock: return HandleBlock(conn, req, pending);
    case srkSetPort:
      Log("set-port value=0x" + Hex(std::string(1, static_cast<char>(req.Value))));
      if (req.WantAnswer) Answer(conn, req.Kind, Line("ok"));
      return true;
    default: return false;
  }
}

std::string TSimNetLink::ForcedAnswer(TSimRequestKind kind) {
  std::lock_guard<std::mutex> g(FLock);
  if (FFaults.AnswerFe.Fire(kind)) return Line(FFaults.FeText);
  if (FFaults.AnswerTa.Fire(kind)) return Line("ta");
  if (FFaults.AnswerBu.Fire(kind)) return Line("bu");
  if (FFaults.AnswerAb.Fire(kind)) return Line("ab") + UserTable();
  return {};
}

void TSimNetLink::Answer(TZor_TcpConnection &conn, TSimRequestKind kind, const std::string &answer) {
  bool silent, slow;
  uint32_t slowMs;
  {
    std::lock_guard<std::mutex> g(FLock);
    silent = FFaults.NoAnswer.Fire(kind);
    slow = !silent && FFaults.SlowAnswer.Fire(kind);
    slowMs = FFaults.SlowAnswerMs;
  }
  std::string word = answer.substr(0, answer.find('\r'));
  if (silent) {
    Log("fault: answer " + word + " not sent");
    return;
  }
  if (slow) {
    Log("fault: answer " + word + " delayed by " + std::to_string(slowMs) + " ms");
    std::unique_lock<std::mutex> g(FWorkLock);
    FWorkCond.wait_for(g, std::chrono::milliseconds(slowMs), [this] { return FStopping; });
  }
  if (!conn.Write(answer)) Log("answer " + word + " not delivered: " + conn.GetLastErrorText());
}

// Table of the four user slots: the IPv4 address of each session, zeros for free slots.
std::string TSimNetLink::UserTable() const {
  std::string table;
  for (auto &s : FSessions) table += SimBE32(s ? s->Ip : 0);
  return table;
}

// The slot of the session named by the request's address block (and user
// field, where the request has one); 0 when none matches.
int TSimNetLink::FindSession(const TRequest &req) const {
  for (int i = 0; i < 4; ++i) {
    auto &s = FSessions[i];
    if (!s || s->Ip != req.Ip || s->Port != req.Port) continue;
    if (req.Kind & (srkDisconn | srkTry) && req.UserField != ' ' && req.UserField - '0' != i) continue;
    return i + 1;
  }
  return 0;
}

std::string TSimNetLink::HandleConnect(const TRequest &req) {
  if (req.Ip == 0 || req.Port == 0) {
    Log("CONNECT without a data server address refused");
    return Line("er");
  }
  const int wanted = req.UserField == ' ' ? 0 : req.UserField - '0' + 1;
  int slot = 0;
  auto session = std::make_shared<TSession>();
  {
    std::lock_guard<std::mutex> g(FLock);
    if (int existing = FindSession(req)) {
      Log("CONNECT: session already in slot " + std::to_string(existing));
      return Line("sv");
    }
    if (wanted) {
      if (!FSessions[wanted - 1]) slot = wanted;
    } else {
      for (int i = 0; i < 4 && !slot; ++i)
        if (!FSessions[i]) slot = i + 1;
    }
    if (!slot) {
      Log(wanted ? "CONNECT: slot " + std::to_string(wanted) + " is taken" : "CONNECT: all slots taken");
      return Line("ab") + UserTable();
    }
    session->Slot = slot;
    session->Ip = req.Ip;
    session->Port = req.Port;
    FSessions[slot - 1] = session;
  }
  Log("CONNECT: user " + std::to_string(slot) + ", data connection to " + SimIpText(req.Ip) + ":" +
      std::to_string(req.Port));
  FDevice.SetUser(slot, TSimUserKind::Ip, req.Ip);
  {
    std::lock_guard<std::mutex> g(session->Lock);
    session->Thread = std::thread(&TSimNetLink::SenderLoop, this, session);
  }
  std::lock_guard<std::mutex> g(FLock);
  FSenders.push_back(session);
  return Line("ok");
}

std::string TSimNetLink::HandleDisconn(const TRequest &req, std::shared_ptr<TSession> &ended) {
  int slot;
  {
    std::lock_guard<std::mutex> g(FLock);
    slot = FindSession(req);
  }
  if (slot) ended = DetachSession(slot);
  if (ended) return Line("ok");
  Log("DISCONN for an unknown session refused");
  return Line("er");
}

std::string TSimNetLink::HandleTry(const TRequest &req) {
  std::lock_guard<std::mutex> g(FLock);
  if (FindSession(req)) return Line("ok");
  Log("TRYBABY for an unknown session");
  return Line("er");
}

std::string TSimNetLink::HandleCmd(const TRequest &req) {
  int slot;
  {
    std::lock_guard<std::mutex> g(FLock);
    slot = FindSession(req);
    if (slot && FBlockRunning) {
      Log("CMD while a block transfer runs: busy");
      return Line("bu");
    }
  }
  if (!slot) {
    Log("CMD from an unknown session refused");
    return Line("er");
  }
  TSimAnswer a = FDevice.HandleCommand(req.Command, static_cast<uint8_t>(slot));
  std::string answer = a == TSimAnswer::Ok ? Line("ok") : a == TSimAnswer::Refused ? Line("er") : "";
  if (answer.empty()) Log("CMD not answered: the device is silent");
  return answer;
}

bool TSimNetLink::HandleBlock(TZor_TcpConnection &conn, const TRequest &req, std::string &pending) {
  int slot;
  {
    std::lock_guard<std::mutex> g(FLock);
    slot = FindSession(req);
    if (slot && FBlockRunning) slot = -1;
    if (slot > 0) FBlockRunning = true;
  }
  std::string refusal = slot < 0                ? "another block transfer runs"
                        : !slot                 ? "block from an unknown session"
                        : req.Len > MaxBlockLen ? "block too large"
                                                : "";
  if (refusal.empty() &&
      FDevice.BlockStart(req.Len, req.Addr, req.Crypted, static_cast<uint8_t>(slot)) != TSimAnswer::Ok)
    refusal = "the device does not take the block";
  if (!refusal.empty()) {
    Log("block refused: " + refusal);
    if (slot > 0) {
      std::lock_guard<std::mutex> g(FLock);
      FBlockRunning = false;
    }
    Answer(conn, srkBlock, Line("er"));
    return false;
  }
  Answer(conn, srkBlock, Line("ok"));

  uint32_t received = 0;
  bool taken = true;
  uint64_t last = RealMs();
  auto lastPiece = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> g(FLock);
    FPieces.clear();
  }
  while (received < req.Len) {
    if (pending.empty()) {
      uint64_t idle = RealMs() - last;
      TZor_ReadResult r = idle < FConfig.RequestTimeoutMs
                              ? conn.Read(pending, static_cast<uint32_t>(FConfig.RequestTimeoutMs - idle))
                              : TZor_ReadResult::rrTimeout;
      if (r != TZor_ReadResult::rrOk) break;
      last = RealMs();
      const auto now = std::chrono::steady_clock::now();
      const auto gap = std::chrono::duration_cast<std::chrono::microseconds>(now - lastPiece).count();
      lastPiece = now;
      std::lock_guard<std::mutex> g(FLock);
      if (FPieces.size() < MaxBlockPieces)
        FPieces.push_back({static_cast<uint32_t>(pending.size()), static_cast<uint32_t>(gap)});
    }
    size_t n = std::min<size_t>(pending.size(), req.Len - received);
    if (taken && FDevice.BlockData(pending.substr(0, n)) != TSimAnswer::Ok) taken = false;
    pending.erase(0, n);
    received += static_cast<uint32_t>(n);
  }
  {
    std::lock_guard<std::mutex> g(FLock);
    FBlockRunning = false;
  }
  if (received < req.Len) {
    Log("block transfer broken off after " + std::to_string(received) + " of " + std::to_string(req.Len) +
        " bytes; connection closed");
    return false;
  }
  if (FDevice.BlockEnd() != TSimAnswer::Ok) taken = false;
  Log(std::string("block of ") + std::to_string(req.Len) + " bytes " + (taken ? "taken" : "refused"));
  const std::string usual = Line(taken ? "ok" : "er");
  std::string final = usual;
  {
    std::lock_guard<std::mutex> g(FLock);
    if (FFaults.FinalAnswer.Fire(srkBlock)) final = FFaults.FinalText.empty() ? "" : Line(FFaults.FinalText);
  }
  if (final != usual) Log("fault: final block answer " + (final.empty() ? "not sent" : Hex(final)));
  if (!final.empty() && !conn.Write(final)) Log("block answer not delivered: " + conn.GetLastErrorText());
  return true;
}

// ------------------------------------------------------------------ sessions

std::shared_ptr<TSimNetLink::TSession> TSimNetLink::DetachSession(int slot, const TSession *only) {
  std::shared_ptr<TSession> s;
  {
    std::lock_guard<std::mutex> g(FLock);
    auto &held = FSessions[slot - 1];
    if (!held || (only && held.get() != only)) return nullptr;
    s = std::move(held);
  }
  FDevice.SetUser(slot, TSimUserKind::None);
  Log("user " + std::to_string(slot) + " session ended");
  return s;
}

void TSimNetLink::StopSender(const std::shared_ptr<TSession> &s, bool drain) {
  if (!s) return;
  {
    std::lock_guard<std::mutex> g(s->Lock);
    if (!drain) s->Queue.clear();
    s->Stop = true;
  }
  s->Cond.notify_all();
}

void TSimNetLink::JoinSenders(bool all) {
  std::vector<std::shared_ptr<TSession>> done;
  {
    std::lock_guard<std::mutex> g(FLock);
    auto keep = std::partition(FSenders.begin(), FSenders.end(),
                               [all](const std::shared_ptr<TSession> &s) { return !all && !s->Finished; });
    done.assign(keep, FSenders.end());
    FSenders.erase(keep, FSenders.end());
  }
  for (auto &s : done) {
    std::thread t;
    {
      std::lock_guard<std::mutex> g(s->Lock);
      t = std::move(s->Thread);
    }
    if (t.joinable()) t.join();
  }
}

void TSimNetLink::SenderLoop(std::shared_ptr<TSession> s) {
  platform::TZor_TcpClient client(SimIpText(s->Ip), s->Port);
  client.SetConnectTimeout(FConfig.DataConnectTimeoutMs);
  client.SetWriteTimeout(DataWriteTimeoutMs);
  std::string own = GetAddress();
  if (own != "0.0.0.0") client.SetBindAddress(own);  // the tool sees the device's address as peer
  const std::string peer = SimIpText(s->Ip) + ":" + std::to_string(s->Port);
  if (!client.Connect()) {
    Log("data connection to " + peer + " failed: " + client.GetLastErrorText() + "; user " +
        std::to_string(s->Slot) + " dropped");
    StopSender(DetachSession(s->Slot, s.get()), false);
    s->Finished = true;
    return;
  }
  s->Connected = true;
  int64_t budget = -1;  // bytes until the drop fault cuts the connection
  {
    std::lock_guard<std::mutex> g(FLock);
    if (FFaults.DropData.Fire(srkAll)) budget = FFaults.DropAfterBytes;
  }
  Log("data connection to " + peer + " made for user " + std::to_string(s->Slot));
  FDevice.OnConnected(static_cast<uint8_t>(s->Slot));
  for (;;) {
    TSimOutput out;
    bool cut;
    {
      std::unique_lock<std::mutex> g(s->Lock);
      s->Cond.wait(g, [&] { return s->Stop || s->Cut || !s->Queue.empty(); });
      cut = std::exchange(s->Cut, false);
      if (!cut && s->Queue.empty()) break;
      if (!cut) {
        out = std::move(s->Queue.front());
        s->Queue.pop_front();
      }
    }
    if (cut && s->Connected) {
      Log("fault: data connection of user " + std::to_string(s->Slot) + " closed");
      client.Disconnect();
      s->Connected = false;
    }
    if (cut || !s->Connected) continue;  // output for a lost connection is dropped
    std::string bytes = Wrap(*s, out);
    if (budget >= 0 && static_cast<int64_t>(bytes.size()) >= budget) {
      Log("fault: data connection of user " + std::to_string(s->Slot) + " dropped after " +
          std::to_string(budget) + " more bytes");
      client.Write(bytes.substr(0, static_cast<size_t>(budget)));
      client.Disconnect();
      s->Connected = false;
      continue;
    }
    if (budget >= 0) budget -= static_cast<int64_t>(bytes.size());
    if (!client.Write(bytes)) {
      s->Connected = false;
      Log("data connection of user " + std::to_string(s->Slot) + " lost: " + client.GetLastErrorText());
    }
  }
  client.Disconnect();
  s->Connected = false;
  s->Finished = true;
}

std::string TSimNetLink::Wrap(TSession &s, const TSimOutput &out) {
  if (out.Bytes.empty()) return {};
  bool multi, corrupt;
  {
    std::lock_guard<std::mutex> g(FLock);
    multi = std::count_if(FSessions.begin(), FSessions.end(), [](auto &p) { return p != nullptr; }) > 1;
    corrupt = FFaults.CorruptUnit.Fire(srkAll);
  }
  std::string wire;
  {
    std::lock_guard<std::mutex> g(FStreamLock);
    if (FDevice.Family() == TSimFamily::Esp) {
      wire = out.Bytes;
      SimRestampRecord(wire, static_cast<uint8_t>(s.Slot), FRecordPtr[s.Slot - 1]);
      FRecordPtr[s.Slot - 1] = (FRecordPtr[s.Slot - 1] + SimRecordWords(wire)) & 0x3FFFF;
    } else {
      uint32_t flags = 0;
      if (out.Kind == TSimOutputKind::Tools) flags |= simCdcToolsData;
      if (out.BufferCleared) flags |= simCdcBufferCleared;
      if (multi) flags |= simCdcMultiUser;
      TSimCdcStream &cdc = FCdc[s.Slot - 1];
      cdc.SetUser(static_cast<uint8_t>(s.Slot));
      for (size_t at = 0; at < out.Bytes.size(); at += MaxCdcPayload) {
        wire += cdc.Block(out.Bytes.substr(at, MaxCdcPayload), flags);
        flags &= ~simCdcBufferCleared;
      }
    }
  }
  if (corrupt && !wire.empty()) {
    wire[0] = static_cast<char>(~wire[0]);
    Log("fault: unit for user " + std::to_string(s.Slot) + " sent with a damaged magic");
  }
  return wire;
}

// The model's sink: queues the output for the sessions it is meant for.
void TSimNetLink::OnOutput(const TSimOutput &out) {
  std::vector<std::shared_ptr<TSession>> targets;
  {
    std::lock_guard<std::mutex> g(FLock);
    for (int i = 0; i < 4; ++i)
      if (FSessions[i] && (out.User == 0 || out.User == i + 1)) targets.push_back(FSessions[i]);
  }
  for (auto &s : targets) {
    bool overflow = false;
    {
      std::lock_guard<std::mutex> g(s->Lock);
      if (s->Stop) continue;
      if (s->Queue.size() >= MaxQueuedOutputs) {
        s->Queue.pop_front();
        overflow = true;
      }
      s->Queue.push_back(out);
    }
    s->Cond.notify_all();
    if (overflow) Log("user " + std::to_string(s->Slot) + " does not take its data: oldest output dropped");
  }
}

// ------------------------------------------------------------------ timers and restarts

TSimNetLink::TBusyGuard::TBusyGuard(TSimNetLink &link) : FLink(link) {
  std::lock_guard<std::mutex> g(FLink.FWorkLock);
  ++FLink.FBusy;
}

TSimNetLink::TBusyGuard::~TBusyGuard() {
  {
    std::lock_guard<std::mutex> g(FLink.FWorkLock);
    --FLink.FBusy;
  }
  FLink.FWorkCond.notify_all();
}

void TSimNetLink::OnDeviceEvent(const TSimEvent &event) {
  {
    std::lock_guard<std::mutex> g(FWorkLock);
    if (event.Kind == TSimEventKind::RestartBegin)
      FSilencePending = true;
    else
      FBackPending = true;
  }
  FWorkCond.notify_all();
}

void TSimNetLink::WorkerLoop() {
  std::unique_lock<std::mutex> g(FWorkLock);
  uint64_t retryAt = 0;  // a failed return to the network is tried again then
  while (!FStopping) {
    FWorkCond.wait_for(g, std::chrono::milliseconds(FConfig.TickMs),
                       [this] { return FStopping || FSilencePending || FBackPending; });
    if (FStopping) break;
    g.unlock();
    FDevice.Tick();
    JoinSenders(false);
    g.lock();
    if (FSilencePending) {
      FSilencePending = false;
      // Let a request that caused the restart get its answer out first (bounded).
      FWorkCond.wait_for(g, std::chrono::milliseconds(2000), [this] { return FStopping || FBusy == 0; });
      g.unlock();
      GoSilent();
      g.lock();
    }
    if (FBackPending && !FSilencePending && RealMs() >= retryAt) {
      FBackPending = false;
      g.unlock();
      bool back = ComeBack();
      g.lock();
      if (!back) {
        FBackPending = true;
        retryAt = RealMs() + 500;
      }
    }
  }
}

void TSimNetLink::GoSilent() {
  Log("device restarts: every connection closed, silent");
  ClaimComingAddress();
  SetHostState(false);
  std::unique_ptr<platform::TZor_TcpServer> server;
  {
    std::lock_guard<std::mutex> g(FLock);
    server = std::move(FServer);
  }
  server.reset();  // ends the control connections and waits for their threads
  for (int slot = 1; slot <= 4; ++slot) StopSender(DetachSession(slot), false);
  JoinSenders(true);
  std::lock_guard<std::mutex> g(FStreamLock);
  for (auto &c : FCdc) c.Reset();
  FRecordPtr.fill(0);
}

void TSimNetLink::ClaimComingAddress() {
  if (!FConfig.ClaimHost || !FConfig.BindAddress.empty()) return;
  const std::string coming = SimIpText(FDevice.GetConfiguredIpAddress());
  std::lock_guard<std::mutex> g(FLock);
  if (coming == FAddress || coming == FComingAddress || coming == "0.0.0.0") return;
  if (!FComingAddress.empty()) platform::ReleaseSimHost(FComingAddress);
  FComingAddress = platform::ClaimSimHost(coming, false) ? coming : std::string();
}

bool TSimNetLink::ComeBack() {
  std::string address = FConfig.BindAddress.empty() ? SimIpText(FDevice.GetIpAddress()) : FConfig.BindAddress;
  std::string old = GetAddress();
  {
    std::lock_guard<std::mutex> g(FLock);
    if (address != old) {
      if (FClaimed) platform::ReleaseSimHost(old);
      FClaimed = false;
    }
    // The address claimed while silent is the one it came back under, or no longer wanted.
    if (!FComingAddress.empty()) {
      if (FComingAddress == address && !FClaimed)
        FClaimed = true;
      else
        platform::ReleaseSimHost(FComingAddress);
      FComingAddress.clear();
    }
  }
  SetAddress(address);
  if (!OpenControl()) {
    Log("device back, but " + GetLastErrorText());
    return false;
  }
  SetHostState(true);
  Log("device back on " + address + ":" + std::to_string(GetControlPort()));
  return true;
}

}  // namespace zor
