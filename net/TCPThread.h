// A one-shot background thread for a single network request (the session
// check, the hardware-feature request). It starts at once, runs its request
// and logs the outcome. Its owner keeps it and frees it whenever it likes:
// destruction waits for the request to end, so the object the request is
// bound to can never be used after it was freed, as long as it owns the thread.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace zor {

// The request: no arguments, true on success, bound to its object.
using TTCPThreadRequestFunction = std::function<bool()>;

class TTCPThread {
 public:
  TTCPThread(int logId, const std::string &description, TTCPThreadRequestFunction request);
  ~TTCPThread();
  TTCPThread(const TTCPThread &) = delete;
  TTCPThread &operator=(const TTCPThread &) = delete;

  // True once the request has returned (or thrown).
  bool GetTerminated() const { return FTerminated; }
  // What the request returned; false while it runs.
  bool GetResult() const { return FResult; }
  // Blocks until the request has ended.
  void WaitFor();
  const std::string &GetDbgTag() const { return FDbgTag; }

 private:
  void Execute();

  std::string FDbgTag;
  int FLogId;
  TTCPThreadRequestFunction FRequestFunction;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FResult{false};
  std::thread FThread;  // last: starts once everything above is set
};

}  // namespace zor
