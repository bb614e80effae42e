// The decoder against independent S-record writers: random binaries are
// turned into S-record files by srec_cat and objcopy in several address widths
// and line lengths, and decoding them must give back every byte at its address.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "firmware/SRecord.h"
#include "foundation/Zor_Utils.h"

namespace zor {
namespace {

namespace fs = std::filesystem;

bool HaveTool(const std::string &name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Hex(uint32_t value) { return "0x" + IntToHex(value, 1); }

struct TToolCase {
  const char *Tool;  // "srec_cat" or "objcopy"
  int AddressBytes;  // 2, 3, 4; 0 lets objcopy choose
  int LineBytes;     // data bytes per line
  uint32_t Base;
  size_t Size;
  TImageKind Kind;
};

std::string CaseName(const ::testing::TestParamInfo<TToolCase> &info) {
  const TToolCase &c = info.param;
  return std::string(c.Tool) + (c.AddressBytes ? "_S" + std::to_string(c.AddressBytes - 1) : "_auto") +
         "_len" + std::to_string(c.LineBytes) + "_" + Hex(c.Base).substr(2);
}

class SRecordTools : public ::testing::TestWithParam<TToolCase> {
 protected:
  void SetUp() override {
    if (!HaveTool(GetParam().Tool)) GTEST_SKIP() << GetParam().Tool << " not installed";
    FDir = fs::temp_directory_path() / ("zor_srectools_" + std::to_string(::getpid()) + "_" +
                                        std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                        "_" + CaseName({GetParam(), 0}));
    fs::create_directories(FDir);
  }
  void TearDown() override {
    if (!FDir.empty()) fs::remove_all(FDir);
  }

  std::string MakeBinary(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string bytes(size, '\0');
    for (char &c : bytes) c = static_cast<char>(rng());
    std::ofstream((FDir / "in.bin").string(), std::ios::binary) << bytes;
    return bytes;
  }

  std::string Convert(const TToolCase &c) {
    const std::string in = (FDir / "in.bin").string();
    const std::string out = (FDir / "out.s19").string();
    const std::string len = std::to_string(c.LineBytes);
    std::string cmd;
    if (std::string(c.Tool) == "srec_cat") {
      cmd = "srec_cat " + in + " -binary -offset " + Hex(c.Base) + " -o " + out +
            " -motorola -address-length=" + std::to_string(c.AddressBytes) + " -obs=" + len;
    } else {
      cmd = "objcopy -I binary -O srec --srec-len=" + len + " --change-addresses " + Hex(c.Base) +
            (c.AddressBytes == 4 ? " --srec-forceS3 " : " ") + in + " " + out;
    }
    EXPECT_EQ(std::system((cmd + " 2>/dev/null").c_str()), 0) << cmd;
    return out;
  }

  fs::path FDir;
};

TEST_P(SRecordTools, DecodesWhatTheToolWrote) {
  const TToolCase &c = GetParam();
  const std::string source = MakeBinary(c.Size, static_cast<unsigned>(c.Base + c.LineBytes));
  const std::string file = Convert(c);

  TSRecordImage image;
  std::string error;
  ASSERT_TRUE(image.OpenFile(file, c.Kind, error)) << error;
  std::string decoded(c.Size, '\0');
  std::vector<bool> seen(c.Size, false);
  const TImageScan scan = ScanSRecordImage(image, [&](const TSRecord &r, const TRecordClass &cls) {
    ASSERT_EQ(cls.Action, ra_Send);
    EXPECT_EQ(cls.Target, r.Address | 0x30000000u);
    EXPECT_LE(r.Data.size(), static_cast<size_t>(c.LineBytes));
    if (c.AddressBytes) {
      EXPECT_EQ(r.Typ, c.AddressBytes - 1) << "record type follows the address width";
    }
    ASSERT_GE(r.Address, c.Base);
    const size_t offset = r.Address - c.Base;
    ASSERT_LE(offset + r.Data.size(), c.Size);
    for (size_t i = 0; i < r.Data.size(); ++i) {
      EXPECT_FALSE(seen[offset + i]) << "byte written twice at " << Hex(r.Address + i);
      seen[offset + i] = true;
      decoded[offset + i] = r.Data[i];
    }
  });
  ASSERT_EQ(scan.Result, 0) << scan.Error << " at line " << scan.ErrorLine;
  EXPECT_EQ(scan.SentBytes, c.Size);
  EXPECT_EQ(scan.Range.FminAdr, c.Base);
  EXPECT_EQ(scan.Range.FmaxAdr, c.Base + c.Size - 1);
  EXPECT_TRUE(decoded == source) << "decoded bytes differ from the source binary";
}

INSTANTIATE_TEST_SUITE_P(Writers, SRecordTools,
                         ::testing::Values(TToolCase{"srec_cat", 2, 16, 0x4000, 5000, ik_UserCode},
                                           TToolCase{"srec_cat", 2, 7, 0x4000, 3001, ik_UserCode},
                                           TToolCase{"srec_cat", 2, 32, 0x0000, 0x4000, ik_Bootloader},
                                           TToolCase{"srec_cat", 3, 32, 0x20000, 20000, ik_UserCode},
                                           TToolCase{"srec_cat", 3, 251, 0x10000, 40000, ik_UserCode},
                                           TToolCase{"srec_cat", 4, 28, 0x4000, 12345, ik_UserCode},
                                           TToolCase{"srec_cat", 4, 250, 0x40000, 0x3FFFF, ik_UserCode},
                                           TToolCase{"objcopy", 0, 16, 0x4000, 4096, ik_UserCode},
                                           TToolCase{"objcopy", 0, 32, 0x10000, 9999, ik_UserCode},
                                           TToolCase{"objcopy", 0, 64, 0x0000, 0x3000, ik_Bootloader},
                                           TToolCase{"objcopy", 4, 32, 0x4000, 8192, ik_UserCode},
                                           TToolCase{"objcopy", 4, 100, 0x7F000, 80, ik_UserCode}),
                         CaseName);

}  // namespace
}  // namespace zor
