#include "foundation/Zor_DllCommon.h"

#include <array>

namespace zor {

namespace {
constexpr std::array<const char *, Zor_ResultCount> KResultNames = {
    "Zor_No_Err",
    "Zor_No_Err",  // Zor_No_Err_ASCII reads as success
    "Zor_No_Err_Recovered",
    "Zor_System_Err",
    "Zor_Err_BadFormat",
    "Zor_Err_BadFormatIgnore",
    "Zor_Err_ReceiveBufferCleared",
    "Zor_Err_ReceiveBufferOverflow",
    "Zor_Err_DataTransferInterrupted",
    "Zor_DLL_internalError",
    "Zor_CmdIgnored",
    "Zor_WriteError",
    "Zor_DeviceNotConnected",
    "Zor_DeviceNotFound",
    "Zor_TooManyUser",
    "Zor_HardwareFault",
    "Zor_Err_Exception",
    "Zor_CAN_Err",
    "Zor_Err_EndOfFile",
    "Zor_FTDI_ConfigError",
    "Zor_FTDI_LoadError",
    "Zor_FTDI_ReadError",
    "Zor_FTDI_VCPError",
    "Zor_Err_ServerDown",
    "Zor_RpcCallFailed",
    "Zor_RpcCallDenied",
    "Zor_RpcResponseBadFormat",
    "Zor_ServerNotConnected",
    "Zor_NetworkNotConnected",
    "Zor_SocketError",
    "Zor_Err_CreateServerFailed",
    "Zor_Err_StartServerFailed",
    "Zor_Err_StopServerFailed",
    "Zor_Err_ConnectFailed",
    "Zor_Err_RequestTimeout",
    "Zor_Err_RequestDenied",
    "Zor_Err_RequestFailed",
    "Zor_Err_ReceiveServerFailed",
    "Zor_Err_RepeatRequest",
    "Zor_Err_PingFailed",
    "Zor_Err_Reconnected",
    "Zor_Err_Disconnected",
    "Zor_Err_AlreadyConnected",
    "Zor_Err_NoWatch",
    "Zor_Err_WatchErrorMsg",
};
}  // namespace

std::string ResultToText(unsigned code) {
  code &= 127;
  return code < KResultNames.size() ? KResultNames[code] : "kein Zor_Result";
}

}  // namespace zor
