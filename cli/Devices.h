// zorfw's names for the device making of the session layer.
#pragma once

#include "session/Zor_Devices.h"

namespace zor::cli {

using session::CheckSimFault;
using session::CreateTarget;
using session::IsSimulatedAddress;
using session::IsUsbAddress;
using session::ParseDeviceAddress;
using session::TDeviceAddress;
using session::TDeviceKind;
using session::TSimDeviceOptions;
using session::TSimHost;
using session::TSimUsbHost;
using session::TSimUsbKind;
using session::TTarget;

}  // namespace zor::cli
