// Arbitrary bytes as a ColdFire configuration block read from a device: the
// decoder must stay inside the block, and what it decoded must survive a
// write and a second read unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "firmware/Zor_FlashVariables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace zor;
  std::string block(reinterpret_cast<const char *>(data), size);
  TZor_FlashVariables first;
  if (!first.DecodeCFBlock(block)) return 0;
  (void)first.GetHardFeatureString();
  (void)first.GetHardFeatureESPString();
  first.EncodeCFBlock(block);
  TZor_FlashVariables second;
  if (!second.DecodeCFBlock(block)) abort();
  if (second.NickName != first.NickName || second.SerialNumber != first.SerialNumber ||
      second.IPAddress != first.IPAddress || second.Gateway != first.Gateway ||
      second.CANRxID != first.CANRxID || second.HardFeature != first.HardFeature ||
      second.Password != first.Password)
    abort();
  return 0;
}
