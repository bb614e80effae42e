#include "net/TCPThread.h"

#include <exception>

#include "foundation/LogUnit.h"

namespace zor {

TTCPThread::TTCPThread(int logId, const std::string &description, TTCPThreadRequestFunction request)
    : FDbgTag("TTCPThread" + description),
      FLogId(logId),
      FRequestFunction(std::move(request)),
      FThread([this] { Execute(); }) {
  LogText(FLogId, FDbgTag + ".Created");
}

TTCPThread::~TTCPThread() { WaitFor(); }

void TTCPThread::WaitFor() {
  // Joining from the request itself would deadlock; it ends on its own.
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

void TTCPThread::Execute() {
  LogText(FLogId, FDbgTag + ".Execute");
  try {
    FResult = FRequestFunction && FRequestFunction();
    if (FResult)
      LogText(FLogId, FDbgTag + ".Execute -> ok");
    else
      LogWarn(FLogId, FDbgTag + ".Execute failed");
  } catch (const std::exception &e) {
    // An exception must not leave a background thread: it would end the process.
    LogExcept(FLogId, FDbgTag + ".Execute", e);
  }
  FTerminated = true;
  LogText(FLogId, FDbgTag + ".Execute END");
}

}  // namespace zor
