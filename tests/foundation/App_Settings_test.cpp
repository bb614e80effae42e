#include "foundation/App_Settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace zor {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class AppSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    FDir = fs::temp_directory_path() /
           ("zor_ini_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(FDir);
    FFile = (FDir / "Zor_FirmwareUpload.ini").string();
  }
  void TearDown() override { fs::remove_all(FDir); }

  void WriteFile(const std::string &content) const { std::ofstream(FFile, std::ios::binary) << content; }
  std::string ReadFile() const {
    std::ifstream in(FFile, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path FDir;
  std::string FFile;
};

TEST_F(AppSettingsTest, ReadsAddMissingKeysWithTheirDefaults) {
  TAppSettings s;
  EXPECT_EQ(s.GetLines(), std::vector<std::string>{"AutoSaveSettings=False"});
  EXPECT_FALSE(s.GetAutoSaveSettings());

  EXPECT_TRUE(s.GetValue("Debug_Log", true));
  EXPECT_EQ(s.GetValue("Main_Left", int32_t{-12}), -12);
  EXPECT_EQ(s.GetUValue("Mask", 4000000000u), 4000000000u);
  EXPECT_EQ(s.GetValue("Sep", ';'), ';');
  EXPECT_EQ(s.GetValue("Ratio", 2.5), 2.5);
  EXPECT_TRUE(std::isnan(s.GetValue("Unset", std::nan(""))));
  EXPECT_EQ(s.GetValue("Host", "zor-lum2"), "zor-lum2");
  EXPECT_EQ(s.GetLines(),
            (std::vector<std::string>{"AutoSaveSettings=False", "Debug_Log=True", "Main_Left=-12",
                                      "Mask=4000000000", "Sep=;", "Ratio=2.5", "Unset=", "Host=zor-lum2"}));
  // Present now: the defaults no longer matter and nothing more is added.
  EXPECT_TRUE(s.GetValue("Debug_Log", false));
  EXPECT_EQ(s.GetValue("Main_Left", int32_t{0}), -12);
  EXPECT_TRUE(std::isnan(s.GetValue("Unset", 1.0)));
  EXPECT_EQ(s.GetLines().size(), 8u);
}

TEST_F(AppSettingsTest, StoredValuesConvertStrictly) {
  WriteFile(
      "Flag=true\nYes=True\nNum=+42\nBad=12abc\nBig=99999999999\nNeg=-1\nComma=1,25\nDot=-0.5\n"
      "Garbled=1.2.3\nEmptyChar=\nCHAR=xyz\n");
  TAppSettings s;
  ASSERT_TRUE(s.LoadFromFile(FFile));
  EXPECT_TRUE(s.GetValuesLoaded());
  EXPECT_FALSE(s.GetValue("Flag", true)) << "only exactly True is true";
  EXPECT_TRUE(s.IsEnabled("Yes", false));
  EXPECT_EQ(s.GetValue("Num", int32_t{0}), 42);
  EXPECT_THROW(s.GetValue("Bad", int32_t{0}), ESettingsConvertError);
  EXPECT_THROW(s.GetValue("Big", int32_t{0}), ESettingsConvertError);
  EXPECT_EQ(s.GetUValue("Neg", 0), 0xFFFFFFFFu);
  EXPECT_EQ(s.GetUValue("Big", 0), static_cast<uint32_t>(99999999999ULL));
  EXPECT_EQ(s.GetValue("Comma", 0.0), 1.25);
  EXPECT_EQ(s.GetValue("Dot", 0.0), -0.5);
  EXPECT_THROW(s.GetValue("Garbled", 0.0), ESettingsConvertError);
  EXPECT_EQ(s.GetValue("EmptyChar", 'd'), 'd');
  EXPECT_EQ(s.GetValue("char", 'd'), 'x') << "names ignore case";
}

TEST_F(AppSettingsTest, AutoSaveWritesOnlyOnARealChange) {
  TAppSettings s;
  ASSERT_TRUE(s.LoadFromFile(FFile));
  EXPECT_FALSE(s.GetValuesLoaded());
  EXPECT_TRUE(fs::exists(FFile));

  s.SetValue("Host", "a");  // no auto-save yet
  EXPECT_EQ(ReadFile(), "");
  s.SetAutoSaveSettings(true);
  EXPECT_EQ(ReadFile(), "Host=a\nAutoSaveSettings=True\nINI_Version=0\n");

  fs::remove(FFile);
  s.SetValue("Host", "a");
  s.SetValue("Missing", "");
  s.SetValue("AutoSaveSettings", true);
  EXPECT_FALSE(fs::exists(FFile)) << "unchanged values must not save";

  s.SetValue("Host", "b");
  EXPECT_EQ(ReadFile(), "Host=b\nAutoSaveSettings=True\nINI_Version=0\n");
  s.SetValue("Host", "");  // empty removes the line
  EXPECT_EQ(ReadFile(), "AutoSaveSettings=True\nINI_Version=0\n");
}

TEST_F(AppSettingsTest, NaNRemovesTheLineAndTheDefaultComesBack) {
  TAppSettings s;
  s.SetValue("Offset", 0.125);
  EXPECT_EQ(s.GetValue("Offset", 9.0), 0.125);
  s.SetValue("Offset", std::nan(""));
  EXPECT_FALSE(s.HasKey("Offset"));
  EXPECT_EQ(s.GetValue("Offset", 9.0), 9.0);
  EXPECT_EQ(s.GetLines().back(), "Offset=9");
}

TEST_F(AppSettingsTest, PrefixRemovalAndTest) {
  TAppSettings s;
  for (const char *key : {"IP1", "Host", "IP2", "IPCount", "ip3", "XIP"}) s.SetValue(key, "v");
  EXPECT_TRUE(s.TestKeys("IP"));
  EXPECT_FALSE(s.TestKeys("Zzz"));
  s.RemoveKeys("IP");
  EXPECT_EQ(s.GetLines(), (std::vector<std::string>{"AutoSaveSettings=False", "Host=v", "XIP=v"}));
  EXPECT_FALSE(s.TestKeys("IP"));
}

TEST_F(AppSettingsTest, VersionFormatNeverGoesDownAndIsSaved) {
  TAppSettings s;
  s.SetVersionFormat(5);
  s.SetVersionFormat(3);
  ASSERT_TRUE(s.SaveSettings(FFile));
  EXPECT_EQ(ReadFile(), "AutoSaveSettings=False\nINI_Version=5\n");
  EXPECT_EQ(s.GetFilename(), FFile);
  EXPECT_EQ(s.GetVersionFormat(), 5);

  TAppSettings fresh;
  EXPECT_FALSE(fresh.SaveSettings()) << "no file name known";
  ASSERT_TRUE(fresh.LoadFromFile(FFile));
  EXPECT_EQ(fresh.GetVersionFormat(), 5);
}

TEST_F(AppSettingsTest, LoadsAnyLineEndingAndByteOrderMark) {
  WriteFile(
      "\xEF\xBB\xBF"
      "A=1\r\nB=2\rC=3\n\nD=x=y");
  TAppSettings s;
  ASSERT_TRUE(s.LoadFromFile(FFile));
  EXPECT_EQ(s.GetLines(), (std::vector<std::string>{"A=1", "B=2", "C=3", "", "D=x=y"}));
  EXPECT_EQ(s.GetValue("D", ""), "x=y");
  EXPECT_FALSE(s.GetAutoSaveSettings()) << "loading does not change the flag read at creation";
}

TEST_F(AppSettingsTest, GarbageFileLoadsAndReadsStaySafe) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 20; ++round) {
    std::string junk(4096, '\0');
    for (auto &c : junk) c = static_cast<char>(rng() & 0xFF);
    junk += "\nNum=\xFF\x00\x01\nAutoSaveSettings=\x80True\n"s;
    WriteFile(junk);
    TAppSettings s;
    ASSERT_TRUE(s.LoadFromFile(FFile));
    EXPECT_TRUE(s.GetValuesLoaded());
    EXPECT_THROW(s.GetValue("Num", int32_t{1}), ESettingsConvertError);
    EXPECT_FALSE(s.GetValue("AutoSaveSettings", true));
    EXPECT_EQ(s.GetValue("Missing", int32_t{7}), 7);
    s.RemoveKeys("N");
    ASSERT_TRUE(s.SaveSettings());
    TAppSettings again;
    ASSERT_TRUE(again.LoadFromFile(FFile));
    EXPECT_EQ(again.GetValue("Missing", int32_t{0}), 7);
  }
}

}  // namespace
}  // namespace zor
