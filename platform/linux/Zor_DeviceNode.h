// What the device-node backends (HID, serial) share: deadlines for poll()
// and how the errors of a node map to the codes the core branches on.
#pragma once

#include <chrono>

#include "platform/Zor_Sys.h"

namespace zor::platform {

using TZor_Deadline = std::chrono::steady_clock::time_point;

// System calls wait in real time, whatever clock the core runs on.
TZor_Deadline DeadlineIn(uint32_t ms);
// Milliseconds left until `deadline`, for poll(); never early, never negative.
int RemainingMs(TZor_Deadline deadline);

// An error on an open node: an unplugged device shows as 1167.
TZor_SysError DeviceIoError(int err);
// An error opening a node: missing permission (udev rules) and a node held
// exclusively by another program are told apart from a missing device.
TZor_SysError DeviceOpenError(int err);

}  // namespace zor::platform
