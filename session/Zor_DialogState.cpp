#include "session/Zor_DialogState.h"

namespace zor::session {

char IpInputChar(char) { return 0; }
char HexInputChar(char) { return 0; }
bool MapInputText(std::string &, char (*)(char)) { return false; }
TRemoteIPCheck CheckRemoteIP(const std::string &, const TChooseIP &, int) { return {}; }
uint16_t HardFeatureOf(THardware, bool) { return 1; }
THardware HardwareOf(uint16_t) { return THardware::Lum; }
std::optional<uint32_t> ParseHexInput(const std::string &, const std::string &, std::string &) { return {}; }
uint32_t DefaultPassword(uint32_t) { return 0; }
std::string HexText8(uint32_t) { return {}; }

}  // namespace zor::session
