// The maker's USB devices as `zorfw list` prints them.
#pragma once

#include <nlohmann/json.hpp>

#include "session/Zor_UsbEntries.h"

namespace zor::cli {

using session::DescribeUsbDevice;
using session::EnumMakerUsbDevices;
using session::FindUsbDevice;
using session::TUsbEntry;
using session::UsbEntryLabel;

nlohmann::json UsbEntryJson(const TUsbEntry &entry);

}  // namespace zor::cli
