#include "net/TCPThread.h"

#include <exception>

#include "foundation/LogUnit.h"

namespace zor {

TTCPThread::TTCPThread(int logId, const std::string &description, TTCPThreadRequestFunction request)
    : FState(std::make_shared<TState>()) {
  FState->DbgTag = "TTCPThread" + description;
  FState->LogId = logId;
  FState->RequestFunction = std::move(request);
  FThread = std::thread([state = FState] { Execute(state); });
  LogText(logId, FState->DbgTag + ".Created");
}

TTCPThread::~TTCPThread() {
  WaitFor();
  // Freed by its own request: joining itself would end the process.
  if (FThread.joinable()) FThread.detach();
}

void TTCPThread::WaitFor() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

void TTCPThread::Execute(const std::shared_ptr<TState> &state) {
  const std::string &tag = state->DbgTag;
  LogText(state->LogId, tag + ".Execute");
  try {
    state->Result = state->RequestFunction && state->RequestFunction();
    if (state->Result)
      LogText(state->LogId, tag + ".Execute -> ok");
    else
      LogWarn(state->LogId, tag + ".Execute failed");
  } catch (const std::exception &e) {
    // An exception must not leave a background thread: it would end the process.
    LogExcept(state->LogId, tag + ".Execute", e);
  }
  state->Terminated = true;
  LogText(state->LogId, tag + ".Execute END");
}

}  // namespace zor
