// Network link of a simulated device: the control port (CONNECT, DISCONN,
// TRYBABY, CMD frames, block transfer, set-port) on the device's IPv4 address,
// up to four user sessions, and for each session the data connection back to
// the address and port named in its requests, carrying the model's output.
//
// Threads: the control server runs one thread per control connection; every
// session has a sender thread that owns its data connection; a worker thread
// drives the model's timers and carries out restarts. The model is never
// called with a link lock held, so its sink (which only queues) cannot
// deadlock against a request in progress.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Zor_Tcp.h"
#include "sim/SimDevice.h"
#include "sim/SimFaults.h"
#include "sim/SimFormats.h"

namespace zor {

struct TSimNetLinkConfig {
  // Address to listen on; empty: the device's configured address, followed
  // when a configuration change brings the device back under another one.
  // "0.0.0.0" listens on every address.
  std::string BindAddress;
  uint16_t ControlPort = 1024;  // 0: chosen by the system (see GetControlPort)
  // Claim the address in the simulated-host registry, so pings answer from
  // the device's state. Off when real ICMP must decide (network namespace).
  bool ClaimHost = true;
  uint32_t TickMs = 10;              // how often the model's timers run
  uint32_t RequestTimeoutMs = 5000;  // a started request must be complete within this
  uint32_t IdleTimeoutMs = 15000;    // a control connection without requests is closed
  uint32_t DataConnectTimeoutMs = 3000;
  int LogId = -1;
  // Told when the device goes silent (false) and comes back (true), with its
  // address; zor-devsim uses it to take a namespace's link down.
  std::function<void(const std::string &address, bool up)> OnHostState;
};

class TSimNetLink {
 public:
  TSimNetLink(TSimDevice &device, TSimNetLinkConfig config);
  ~TSimNetLink();
  TSimNetLink(const TSimNetLink &) = delete;
  TSimNetLink &operator=(const TSimNetLink &) = delete;

  // Opens the control port; false with GetLastErrorText() when it cannot be bound.
  bool Start();
  void Stop();

  std::string GetAddress() const;
  uint16_t GetControlPort() const;
  std::string GetLastErrorText() const;

  TSimLinkFaults GetFaults() const;
  void SetFaults(const TSimLinkFaults &faults);

  // "At request k, do X"; setting it starts the count afresh.
  void SetStepFault(const TSimStepFault &fault);
  // Requests counted since the step fault was set, and whether it fired.
  uint32_t GetStepCount() const;
  bool StepFaultFired() const;
  // The data pieces of the latest block transfer as they were read.
  std::vector<TSimBlockPiece> BlockPieces() const;

  // The device is running and its control port open (not in a restart).
  bool IsServing() const;

  // Sessions holding a user slot.
  int SessionCount() const;
  // Slot (1..4) occupied by a session, and whether its data connection is up.
  bool IsUserConnected(int slot) const;
  bool IsDataConnected(int slot) const;
  // What the link did and why it refused or dropped something (newest last).
  std::vector<std::string> LinkLog() const;

 private:
  struct TRequest;
  struct TSession;
  // Counts a request as in progress for its lifetime.
  class TBusyGuard {
   public:
    explicit TBusyGuard(TSimNetLink &link);
    ~TBusyGuard();

   private:
    TSimNetLink &FLink;
  };

  // Control connections.
  void OnControlExecute(platform::TZor_TcpConnection &conn);
  bool ServeRequest(platform::TZor_TcpConnection &conn, std::string &pending);
  bool ServeRequestAsUsual(platform::TZor_TcpConnection &conn, const TRequest &req, std::string &pending);
  void Answer(platform::TZor_TcpConnection &conn, TSimRequestKind kind, const std::string &answer);
  std::string HandleConnect(const TRequest &req);
  std::string HandleDisconn(const TRequest &req, std::shared_ptr<TSession> &ended);
  std::string HandleTry(const TRequest &req);
  std::string HandleCmd(const TRequest &req);
  bool HandleBlock(platform::TZor_TcpConnection &conn, const TRequest &req, std::string &pending);
  std::string ForcedAnswer(TSimRequestKind kind);
  // Counts the request; the step fault's action when this is its step.
  TSimStepAction TakeStep(const TRequest &req);
  // Carries out a step fault that replaces the request; false when the
  // request is then to be served as usual.
  bool ReplaceRequest(platform::TZor_TcpConnection &conn, const TRequest &req, TSimStepAction step,
                      bool &keepOpen);
  // Closes the data connection of the session the request names.
  void CutData(const TRequest &req);
  std::string UserTable() const;
  int FindSession(const TRequest &req) const;

  // Sessions and their data connections.
  // Takes the session out of its slot (only if it is `only`, when given).
  std::shared_ptr<TSession> DetachSession(int slot, const TSession *only = nullptr);
  // Lets a detached session's sender finish (after sending what is queued
  // when `drain`); its thread is joined later by JoinSenders.
  void StopSender(const std::shared_ptr<TSession> &session, bool drain);
  // Joins the sender threads that have ended, or every one when `all` (their
  // sessions must have been told to stop). Never called on a sender thread.
  void JoinSenders(bool all);
  void SenderLoop(std::shared_ptr<TSession> session);
  std::string Wrap(TSession &session, const TSimOutput &out);
  void OnOutput(const TSimOutput &out);

  // Timers and restarts.
  void WorkerLoop();
  void OnDeviceEvent(const TSimEvent &event);
  void GoSilent();
  bool ComeBack();
  bool OpenControl();
  void SetHostState(bool up);

  void SetAddress(const std::string &address);
  void ClaimComingAddress();
  void Log(const std::string &text) const;

  TSimDevice &FDevice;
  TSimNetLinkConfig FConfig;

  mutable std::mutex FLock;  // sessions, faults, address, server
  std::array<std::shared_ptr<TSession>, 4> FSessions;
  TSimLinkFaults FFaults;
  std::string FAddress;
  bool FClaimed = false;
  // While silent: the new address the device will come back under, claimed
  // (down) so that pings to it do not reach the real loopback before it is back.
  std::string FComingAddress;
  std::unique_ptr<platform::TZor_TcpServer> FServer;
  uint16_t FControlPort = 0;
  std::string FLastError;
  bool FBlockRunning = false;
  TSimStepFault FStep;
  uint32_t FStepCount = 0;
  bool FStepFired = false;
  std::vector<TSimBlockPiece> FPieces;
  // Every session whose sender thread has not been joined yet. Only the
  // link joins them, so none outlives it, however its session ended.
  std::vector<std::shared_ptr<TSession>> FSenders;

  // Stream positions per user slot; they continue across sessions and start
  // afresh when the device restarts.
  std::mutex FStreamLock;
  std::array<TSimCdcStream, 4> FCdc{TSimCdcStream(1), TSimCdcStream(2), TSimCdcStream(3), TSimCdcStream(4)};
  std::array<uint32_t, 4> FRecordPtr{};

  // Restarts reported by the model, carried out by the worker.
  std::mutex FWorkLock;
  std::condition_variable FWorkCond;
  bool FStopping = false;
  bool FSilencePending = false;
  bool FBackPending = false;
  int FBusy = 0;  // requests being carried out
  std::thread FWorker;

  mutable std::mutex FLogLock;
  mutable std::deque<std::string> FLinkLog;
  std::string FLogAddress;
};

}  // namespace zor
