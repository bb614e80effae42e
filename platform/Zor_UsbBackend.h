// Seam between the portable USB enumeration and the system backend; only
// platform/ includes it.
#pragma once

#include <string>
#include <vector>

#include "platform/Zor_UsbEnum.h"

namespace zor::platform {

// The roots set by SetUsbRoots ("/sys" and "/dev" by default).
std::string UsbSysRoot();
std::string UsbDevRoot();

// Real USB devices the system knows, in no particular order; `errorText`
// only when the system's device list cannot be read at all.
std::vector<TZor_UsbDeviceInfo> EnumerateSystemUsbDevices(const std::string &sysRoot, const std::string &devRoot,
                                                          std::string &errorText);

}  // namespace zor::platform
