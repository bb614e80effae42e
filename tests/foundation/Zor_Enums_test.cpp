#include "foundation/Zor_CommonTypes.h"
#include "foundation/Zor_DllCommon.h"

#include <gtest/gtest.h>

using namespace zor;

TEST(ResultToText, UsesLowSevenBitsAndNamesEveryCode) {
  EXPECT_EQ(ResultToText(0), "Zor_No_Err");
  EXPECT_EQ(ResultToText(1), "Zor_No_Err");
  EXPECT_EQ(ResultToText(Zor_System_Err), "Zor_System_Err");
  EXPECT_EQ(ResultToText(Zor_Err_PingFailed), "Zor_Err_PingFailed");
  EXPECT_EQ(ResultToText(44), "Zor_Err_WatchErrorMsg");
  EXPECT_EQ(ResultToText(45), "kein Zor_Result");
  EXPECT_EQ(ResultToText(127), "kein Zor_Result");
  EXPECT_EQ(ResultToText(130), "Zor_No_Err_Recovered");
  EXPECT_EQ(static_cast<int>(Zor_Err_WatchErrorMsg), 44);
}

TEST(EnumTexts, OutOfRangeValuesFollowEachFunctionsRule) {
  EXPECT_EQ(DeviceTypeToText(Zor_Remote), "Zor_Remote");
  EXPECT_EQ(DeviceTypeToText(Zor_FPGANet), "Zor_FPGANet");
  EXPECT_EQ(DeviceTypeToText(13), "13");
  EXPECT_EQ(PeerTypeToText(ptESP), "ESP");
  std::string keep = "before";
  PeerTypeToText(7, keep);
  EXPECT_EQ(keep, "before");
  FPGATypeToText(3, keep);
  EXPECT_EQ(keep, "before");
  EXPECT_EQ(FPGATypeToText(ft_MicroSemi), "MicroSemi");
  EXPECT_EQ(StartStateToText(ds_WarmStart), "WarmStart");
  EXPECT_EQ(StartStateToText(3), "");
  EXPECT_EQ(CmdResponseTypeToText(crt_ReadNVS), "readNVS");
  EXPECT_EQ(CmdResponseTypeToText(crt_phaseReset), "PhaseReset");
  EXPECT_EQ(CmdResponseTypeToText(8), "unknown 8");
}
