// A one-shot background thread for a single network request (the session
// check, the hardware-feature request). It starts at once, runs its request
// and logs the outcome. Its owner keeps it and frees it whenever it likes:
// destruction waits for the request to end, so the object the request is
// bound to can never be used after it was freed, as long as it owns the thread.
// Destroyed by its own request (the owner went away on that thread), it lets
// the thread run out instead of joining itself.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
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
  bool GetTerminated() const { return FState->Terminated; }
  // What the request returned; false while it runs.
  bool GetResult() const { return FState->Result; }
  // Blocks until the request has ended (returns at once on the thread itself).
  void WaitFor();
  const std::string &GetDbgTag() const { return FState->DbgTag; }

 private:
  // What the running thread uses: shared, so it outlives this object when the
  // object is destroyed by its own request.
  struct TState {
    std::string DbgTag;
    int LogId;
    TTCPThreadRequestFunction RequestFunction;
    std::atomic<bool> Terminated{false};
    std::atomic<bool> Result{false};
  };
  static void Execute(const std::shared_ptr<TState> &state);

  std::shared_ptr<TState> FState;
  std::thread FThread;  // last: starts once everything above is set
};

}  // namespace zor
