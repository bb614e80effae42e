// Internal to platform/: the system calls under Zor_Sys.cpp. Each operating
// system implements them in its own folder (platform/linux/Zor_Sys_Linux.cpp);
// nothing outside platform/ includes this header.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace zor::platform::os {

// Milliseconds of the monotonic clock since an arbitrary origin.
uint64_t MonotonicMs();
void SleepMs(uint32_t ms);
// `t` broken down in local time, or in UTC when `utc`.
std::tm BreakDownTime(std::time_t t, bool utc);
// The system's own text for a native error number.
std::string NativeErrorText(int native);

}  // namespace zor::platform::os
