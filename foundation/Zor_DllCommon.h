// Result code of every device operation.
#pragma once

#include <cstdint>
#include <string>

namespace zor {

// Ordinals are part of the interface: code compares them numerically.
enum TZor_Result : uint8_t {
  Zor_No_Err = 0,
  Zor_No_Err_ASCII,
  Zor_No_Err_Recovered,
  Zor_System_Err,
  Zor_Err_BadFormat,
  Zor_Err_BadFormatIgnore,
  Zor_Err_ReceiveBufferCleared,
  Zor_Err_ReceiveBufferOverflow,
  Zor_Err_DataTransferInterrupted,
  Zor_DLL_internalError,
  Zor_CmdIgnored,
  Zor_WriteError,
  Zor_DeviceNotConnected,
  Zor_DeviceNotFound,
  Zor_TooManyUser,
  Zor_HardwareFault,
  Zor_Err_Exception,
  Zor_CAN_Err,
  Zor_Err_EndOfFile,
  Zor_FTDI_ConfigError,
  Zor_FTDI_LoadError,
  Zor_FTDI_ReadError,
  Zor_FTDI_VCPError,
  Zor_Err_ServerDown,
  Zor_RpcCallFailed,
  Zor_RpcCallDenied,
  Zor_RpcResponseBadFormat,
  Zor_ServerNotConnected,
  Zor_NetworkNotConnected,
  Zor_SocketError,
  Zor_Err_CreateServerFailed,
  Zor_Err_StartServerFailed,
  Zor_Err_StopServerFailed,
  Zor_Err_ConnectFailed,
  Zor_Err_RequestTimeout,
  Zor_Err_RequestDenied,
  Zor_Err_RequestFailed,
  Zor_Err_ReceiveServerFailed,
  Zor_Err_RepeatRequest,
  Zor_Err_PingFailed,
  Zor_Err_Reconnected,
  Zor_Err_Disconnected,
  Zor_Err_AlreadyConnected,
  Zor_Err_NoWatch,
  Zor_Err_WatchErrorMsg,
};

inline constexpr int Zor_ResultCount = 45;

// Text of a result code; only the low 7 bits of `code` count.
std::string ResultToText(unsigned code);

}  // namespace zor
