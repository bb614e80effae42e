#include "firmware/SRecord.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "firmware/Uploader_Common.h"

namespace zor {
namespace {

namespace fs = std::filesystem;

// A line of type `typ` with a correct count and checksum.
std::string Encode(int typ, uint32_t address, const std::string &data) {
  const int width = (typ == 2 || typ == 8) ? 3 : (typ == 3 || typ == 7) ? 4 : 2;
  std::string body;
  body.push_back(static_cast<char>(width + data.size() + 1));
  for (int i = width - 1; i >= 0; --i) body.push_back(static_cast<char>(address >> (8 * i)));
  body += data;
  unsigned sum = 0;
  std::string line = "S" + std::to_string(typ);
  char hex[3];
  for (unsigned char c : body) {
    sum += c;
    std::snprintf(hex, sizeof hex, "%02X", c);
    line += hex;
  }
  std::snprintf(hex, sizeof hex, "%02X", 0xFF - (sum & 0xFF));
  return line + hex;
}

class TTempDir {
 public:
  TTempDir() {
    FPath = fs::temp_directory_path() / ("zor_srecord_" + std::to_string(::getpid()) + "_" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(FPath);
  }
  ~TTempDir() { fs::remove_all(FPath); }
  std::string Write(const std::string &name, const std::string &content) const {
    const fs::path p = FPath / name;
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
  fs::path FPath;
};

std::string DecodeError(const std::string &line) {
  TSRecord r;
  ParseSRecord(line, r);
  return r.Error;
}

TEST(SRecordParse, ErrorTexts) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "Null string"},
      {"S4030000FC", "No S-Record: unknown type=S4"},
      {"S6030000FC", "No S-Record: unknown type=S6"},
      {"X1030000FC", "No S-Record: unknown type=X1"},
      {"S", "No S-Record: unknown type=S"},
      {"s1030000FC", "No S-Record: unknown type=s1"},
      {"S1G30000FC", "No hex value ($G3) on position 3"},
      {"S1", "No hex value ($) on position 3"},
      {"S10", "No hex value ($0) on position 3"},
      {"S1030G00FC", "No address value (0G00) on position 5"},
      {"S103001", "No address value (001) on position 5"},
      {"S2040000ZZFB", "No address value (0000ZZ) on position 5"},
      {"S30500000000", "No hex value () on position 13"},  // checksum missing after the address
      {"S3050000000", "No address value (0000000) on position 5"},
      {"S1050000AAXX", "No hex value (XX) on position 11"},
      {"S1060000AA", "No hex value () on position 11"},
      {"S206000000AAB", "No hex value (B) on position 13"},
      {"S307000000001122G1", "No hex value (G1) on position 17"},
      {"S1030000F", "No hex value (F) on position 9"},  // checksum cut short
      {"S1030000 F", "No hex value ( F) on position 9"},
  };
  for (const auto &[line, error] : cases) EXPECT_EQ(DecodeError(line), error) << line;
}

TEST(SRecordParse, DecodesEveryType) {
  TSRecord r;
  ASSERT_TRUE(ParseSRecord("S0030000FC", r));
  EXPECT_EQ(r.Typ, 0);
  EXPECT_EQ(r.Count, 3);
  EXPECT_EQ(r.Address, 0u);
  EXPECT_EQ(r.Data, "");
  EXPECT_EQ(r.CheckSum, 0xFC);

  ASSERT_TRUE(ParseSRecord("S1061234A0ff0180", r));
  EXPECT_EQ(r.Address, 0x1234u);
  EXPECT_EQ(r.Data, std::string("\xA0\xFF\x01", 3));
  EXPECT_EQ(r.CheckSum, 0x80);

  ASSERT_TRUE(ParseSRecord(Encode(2, 0xABCDEF, std::string("\x00\x7F", 2)), r));
  EXPECT_EQ(r.Address, 0xABCDEFu);
  EXPECT_EQ(r.Data, std::string("\x00\x7F", 2));

  ASSERT_TRUE(ParseSRecord(Encode(3, 0x2000F700, "\x4E\xF9"), r));
  EXPECT_EQ(r.Count, 7);
  EXPECT_EQ(r.Address, 0x2000F700u);
  EXPECT_EQ(r.Data, "\x4E\xF9");

  // Termination and count records carry no data even when the count says so.
  for (int typ : {5, 7, 8, 9}) {
    ASSERT_TRUE(ParseSRecord(Encode(typ, 0x10, "\x11\x22"), r)) << typ;
    EXPECT_EQ(r.Address, 0x10u);
    EXPECT_EQ(r.Data, "") << typ;
    EXPECT_EQ(r.CheckSum, 0x11) << "the first data byte is read as the checksum";
  }
}

TEST(SRecordParse, CountAndTrailingCharacters) {
  TSRecord r;
  // A count below the header size reads no data; the checksum follows the address.
  ASSERT_TRUE(ParseSRecord("S1020000FD", r));
  EXPECT_EQ(r.Data, "");
  EXPECT_EQ(r.CheckSum, 0xFD);
  // The checksum is not verified and anything after it is ignored.
  ASSERT_TRUE(ParseSRecord("S10400001200 trailing garbage\r", r));
  EXPECT_EQ(r.Data, "\x12");
  EXPECT_EQ(r.CheckSum, 0);
  // The largest count gives 252 data bytes for S1.
  ASSERT_TRUE(ParseSRecord(Encode(1, 0, std::string(252, '\xA5')), r));
  EXPECT_EQ(r.Count, 255);
  EXPECT_EQ(r.Data.size(), 252u);
}

TEST(SRecordParse, ClearsThePreviousRecord) {
  TSRecord r;
  ASSERT_TRUE(ParseSRecord(Encode(3, 0x4000, "abc"), r));
  EXPECT_FALSE(ParseSRecord("S1G3", r));
  EXPECT_EQ(r.Typ, 1);
  EXPECT_EQ(r.Address, 0u);
  EXPECT_EQ(r.Data, "");
  EXPECT_FALSE(ParseSRecord("S1050000AAXX", r));
  EXPECT_EQ(r.Data, "") << "a failed line leaves no partial data";
  ASSERT_TRUE(ParseSRecord("S0030000FC", r));
  EXPECT_EQ(r.Error, "");
}

TEST(SRecordParse, RandomLinesNeverFail) {
  std::mt19937 rng(1234);
  const std::string alphabet = "S0123456789ABCDEFabcdefG \r\x00\xFF";
  TSRecord r;
  for (int i = 0; i < 20000; ++i) {
    std::string line;
    const int len = static_cast<int>(rng() % 80);
    for (int k = 0; k < len; ++k)
      line.push_back(rng() % 4 == 0 ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()]);
    if (rng() % 2) line.insert(0, "S" + std::string(1, "0123456789"[rng() % 10]));
    const bool ok = ParseSRecord(line, r);
    EXPECT_EQ(ok, r.Error.empty());
    if (ok) {
      EXPECT_TRUE(IsSRecord(line));
      EXPECT_LE(r.Data.size(), 252u);
    }
  }
  // Correct lines of random content decode to what was encoded.
  for (int i = 0; i < 2000; ++i) {
    const int typ = static_cast<int>(1 + rng() % 3);
    const uint32_t address = typ == 1 ? rng() & 0xFFFF : typ == 2 ? rng() & 0xFFFFFF : rng();
    std::string data(rng() % 40, '\0');
    for (char &c : data) c = static_cast<char>(rng());
    ASSERT_TRUE(ParseSRecord(Encode(typ, address, data), r));
    EXPECT_EQ(r.Typ, typ);
    EXPECT_EQ(r.Address, address);
    EXPECT_EQ(r.Data, data);
  }
}

TEST(SRecordHelpers, HexToInt) {
  EXPECT_EQ(HexToInt("0"), 0u);
  EXPECT_EQ(HexToInt("fC"), 0xFCu);
  EXPECT_EQ(HexToInt("FFFFFFFF"), 0xFFFFFFFFu);
  for (const char *bad : {"", "G", "123456789", "-1", " 1", "0x1", "1 "}) {
    try {
      HexToInt(bad);
      ADD_FAILURE() << bad;
    } catch (const std::invalid_argument &e) {
      EXPECT_EQ(e.what(), "'$" + std::string(bad) + "' is not a valid integer value");
    }
  }
}

TEST(SRecordHelpers, IsSRecord) {
  for (const char *yes : {"S0", "S1", "S2", "S3", "S5", "S7", "S8", "S9x"})
    EXPECT_TRUE(IsSRecord(yes)) << yes;
  for (const char *no : {"", "S", "S4", "S6", "SA", "s1", "X1", " S1"}) EXPECT_FALSE(IsSRecord(no)) << no;
}

TSRecord Data(uint32_t address, size_t length = 16) {
  TSRecord r;
  r.Typ = 3;
  r.Address = address;
  r.Data.assign(length, '\x55');
  return r;
}

TEST(SRecordClassify, UserCode) {
  TRecordClass c = ClassifyRecord(Data(0x4000), ik_UserCode);
  EXPECT_EQ(c.Action, ra_Send);
  EXPECT_EQ(c.Target, 0x30004000u);
  c = ClassifyRecord(Data(0x7FFFF, 1), ik_UserCode);
  EXPECT_EQ(c.Action, ra_Send);
  EXPECT_EQ(c.Target, 0x3007FFFFu);

  for (uint32_t a : {0x3FF0u, 0x0u, 0x80000u, 0xFFFFFFu}) {
    c = ClassifyRecord(Data(a), ik_UserCode);
    EXPECT_EQ(c.Action, ra_Reject) << a;
    EXPECT_EQ(c.Result, -15);
  }
  EXPECT_EQ(ClassifyRecord(Data(0x3FF0), ik_UserCode).Message, "No Firmware address: 0x00003FF0");
  // A record that starts inside the window but runs past its end would be
  // programmed outside it.
  c = ClassifyRecord(Data(0x7FFF0, 32), ik_UserCode);
  EXPECT_EQ(c.Action, ra_Reject);
  EXPECT_EQ(c.Message, "No Firmware address: 0x0007FFF0");

  for (uint32_t a : {0x1000000u, 0x20000000u, 0xFFFFFFF0u}) {
    c = ClassifyRecord(Data(a), ik_UserCode);
    EXPECT_EQ(c.Action, ra_Skip) << a;
    EXPECT_EQ(c.Result, 0);
  }
  EXPECT_EQ(ClassifyRecord(Data(0x20000000), ik_UserCode).Message, "No Flash address: 0x20000000");
}

TEST(SRecordClassify, Bootloader) {
  TRecordClass c = ClassifyRecord(Data(0), ik_Bootloader);
  EXPECT_EQ(c.Action, ra_Send);
  EXPECT_EQ(c.Target, 0x30000000u);
  EXPECT_EQ(ClassifyRecord(Data(0x3FFF, 1), ik_Bootloader).Action, ra_Send);
  c = ClassifyRecord(Data(0x4000), ik_Bootloader);
  EXPECT_EQ(c.Action, ra_Reject);
  EXPECT_EQ(c.Result, -14);
  EXPECT_EQ(c.Message, "No Bootloader address: 0x00004000");
  EXPECT_EQ(ClassifyRecord(Data(0x3FF8, 16), ik_Bootloader).Action, ra_Reject);
  c = ClassifyRecord(Data(0x2000F700), ik_Bootloader);
  EXPECT_EQ(c.Action, ra_Skip);
  EXPECT_EQ(c.Message, "No Flash address: 0x2000F700");
}

TEST(SRecordClassify, SystemCode) {
  TRecordClass c = ClassifyRecord(Data(0x2000F700), ik_SystemCode);
  EXPECT_EQ(c.Action, ra_Send);
  EXPECT_EQ(c.Target, 0x2000F700u) << "no staging flag";
  EXPECT_EQ(ClassifyRecord(Data(0x2000FFFF, 1), ik_SystemCode).Action, ra_Send);
  const std::pair<uint32_t, const char *> skipped[] = {
      {0x20000000, "Ignore internal RAM address: 0x20000000"},
      {0x2000F6F0, "Ignore internal RAM address: 0x2000F6F0"},
      {0x1FFFFFF0, "No internal RAM address: 0x1FFFFFF0"},
      {0x00004000, "No internal RAM address: 0x00004000"},
      {0x20010000, "No internal RAM address: 0x20010000"},
  };
  for (const auto &[a, text] : skipped) {
    c = ClassifyRecord(Data(a), ik_SystemCode);
    EXPECT_EQ(c.Action, ra_Skip);
    EXPECT_EQ(c.Message, text);
  }
}

TEST(SRecordClassify, RecordsWithoutDataAreSkippedSilently) {
  for (const char *line : {"S0030000FC", "S5030001FB", "S70500004000B6", "S804000000FB", "S9030000FC"})
    for (TImageKind kind : {ik_UserCode, ik_Bootloader, ik_SystemCode}) {
      TSRecord r;
      ASSERT_TRUE(ParseSRecord(line, r)) << line;
      const TRecordClass c = ClassifyRecord(r, kind);
      EXPECT_EQ(c.Action, ra_Skip) << line;
      EXPECT_EQ(c.Message, "") << line;
    }
}

TEST(SRecordRange, TracksSentBytes) {
  TTransmitRange range;
  EXPECT_TRUE(range.IsEmpty());
  range.Include(0x4100, 16);
  range.Include(0x4000, 32);
  EXPECT_EQ(range.FminAdr, 0x4000u);
  EXPECT_EQ(range.FmaxAdr, 0x410Fu);
  // An empty record at address 0 must not turn the range into 0..0xFFFFFFFF.
  TTransmitRange boot;
  boot.Include(0, 0);
  EXPECT_TRUE(boot.IsEmpty());
  boot.Include(0, 1);
  EXPECT_EQ(boot.FmaxAdr, 0u);
  range.Reset();
  EXPECT_EQ(range.FminAdr, 0xFFFFFFFFu);
  EXPECT_EQ(range.FmaxAdr, 0u);
}

TEST(SRecordImage, SystemCodeResource) {
  const std::string text = LoadResourceText("SystemCode");
  ASSERT_EQ(text.rfind("S0", 0), 0u);
  const std::vector<std::string> lines = SplitLines(text);
  ASSERT_EQ(lines.size(), 95u);
  EXPECT_EQ(text.size(), [&] {
    size_t n = 0;
    for (const auto &l : lines) n += l.size() + 2;
    return n;
  }()) << "every line ends with CR LF";

  TSRecordImage image;
  image.OpenText(text, ik_SystemCode);
  EXPECT_EQ(image.GetLineCount(), 95u);
  std::string sent;
  uint32_t next = 0x2000F700;
  std::vector<std::string> ignored;
  const TImageScan scan = ScanSRecordImage(image, [&](const TSRecord &r, const TRecordClass &c) {
    EXPECT_LE(r.Data.size(), 28u);
    if (c.Action == ra_Skip) {
      ignored.push_back(c.Message);
      return;
    }
    EXPECT_EQ(c.Target, next);
    next += static_cast<uint32_t>(r.Data.size());
    sent += r.Data;
  });
  EXPECT_EQ(scan.Result, 0);
  EXPECT_EQ(scan.SentRecords + scan.SkippedRecords, 93u);
  EXPECT_EQ(scan.SentBytes, 1772u);
  EXPECT_EQ(next, 0x2000FDECu);
  EXPECT_TRUE(scan.Range.IsEmpty()) << "system code does not count into the flash range";
  EXPECT_EQ(scan.Entry, 0x2000FBF0u);
  ASSERT_EQ(ignored.size(), 28u);
  EXPECT_EQ(ignored.front(), "Ignore internal RAM address: 0x20000000");
  // The run command's entry jumps to the programmer; a device recognises it
  // apart from the RAM-restore jump (4E F9 20 00 FE 00).
  EXPECT_EQ(sent.substr(0, 6), std::string("\x4E\xF9\x20\x00\xFB\xF0", 6));
  EXPECT_EQ(sent.substr(8, 16), "ZorFlashProg1.00");
  EXPECT_EQ(sent.substr(0x4F0, 4), std::string("\x46\xFC\x27\x00", 4));
  for (uint32_t a = 0x2000F718; a < 0x2000FDEC; ++a) {
    if (a >= 0x2000FBF0 && a < 0x2000FBF4) continue;
    ASSERT_EQ(static_cast<uint8_t>(sent[a - 0x2000F700]), (a ^ (a >> 8) ^ 0x5A) & 0xFF) << std::hex << a;
  }
  EXPECT_THROW(LoadResourceText("NoSuchResource"), std::runtime_error);
}

TEST(SRecordImage, LineEndsAndLineCount) {
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n\r\n"), (std::vector<std::string>{"a", ""}));
  EXPECT_TRUE(SplitLines("").empty());

  TTempDir dir;
  const std::string content = Encode(0, 0, "hdr") + "\r\n" + Encode(3, 0x4000, "ab") + "\n" +
                              Encode(3, 0x4002, "cd") + "\r" + Encode(7, 0x4000, "");
  const std::string file = dir.Write("app.s19", content);
  TSRecordImage image;
  std::string error;
  ASSERT_TRUE(image.OpenFile(file, ik_UserCode, error)) << error;
  EXPECT_EQ(image.GetLineCount(), 4u);
  std::string sent;
  const TImageScan scan =
      ScanSRecordImage(image, [&](const TSRecord &r, const TRecordClass &) { sent += r.Data; });
  EXPECT_EQ(scan.Result, 0) << scan.Error;
  EXPECT_EQ(sent, "abcd");
  EXPECT_EQ(scan.Range.FminAdr, 0x4000u);
  EXPECT_EQ(scan.Range.FmaxAdr, 0x4003u);
  EXPECT_EQ(scan.Lines, 4u);
}

TEST(SRecordImage, LineEndSplitAcrossReadBlocks) {
  // The file is read in 64 KiB blocks: a CR as the last byte of a block and
  // its LF as the first of the next are still one line end.
  TTempDir dir;
  std::string first = Encode(0, 0, "hdr");
  first.resize(65535, ' ');
  std::string content = first + "\r\n";
  for (uint32_t i = 0; i < 3000; ++i) content += Encode(3, 0x4000 + 16 * i, std::string(16, 'x')) + "\r\n";
  TSRecordImage image;
  std::string error;
  ASSERT_TRUE(image.OpenFile(dir.Write("big.s19", content), ik_UserCode, error));
  EXPECT_EQ(image.GetLineCount(), 3001u);
  const TImageScan scan = ScanSRecordImage(image);
  EXPECT_EQ(scan.Result, 0) << scan.Error << " line " << scan.ErrorLine;
  EXPECT_EQ(scan.SentBytes, 48000u);
}

TEST(SRecordImage, StopsAtTheFirstBadLine) {
  TTempDir dir;
  TSRecordImage image;
  std::string error;

  // A blank line is a line, and it does not decode.
  const std::string blank =
      dir.Write("blank.s19", Encode(3, 0x4000, "ab") + "\r\n\r\n" + Encode(3, 0x4002, "cd"));
  ASSERT_TRUE(image.OpenFile(blank, ik_UserCode, error));
  TImageScan scan = ScanSRecordImage(image);
  EXPECT_EQ(scan.Result, -4);
  EXPECT_EQ(scan.Error, "Null string");
  EXPECT_EQ(scan.ErrorLine, 2u);
  EXPECT_EQ(scan.SentBytes, 2u) << "lines before the error were already sent";

  const std::string boot = dir.Write("boot.s19", Encode(1, 0x3FF0, "ab") + "\n" + Encode(1, 0x4000, "cd") +
                                                     "\n" + Encode(1, 0x4010, "ef") + "\n");
  ASSERT_TRUE(image.OpenFile(boot, ik_Bootloader, error));
  scan = ScanSRecordImage(image);
  EXPECT_EQ(scan.Result, -14);
  EXPECT_EQ(scan.Error, "No Bootloader address: 0x00004000");
  EXPECT_EQ(scan.ErrorLine, 2u);
  EXPECT_EQ(scan.Lines, 2u);

  const std::string user =
      dir.Write("user.s19", Encode(3, 0x20000000, "xy") + "\n" + Encode(3, 0x3FF0, "ab"));
  ASSERT_TRUE(image.OpenFile(user, ik_UserCode, error));
  std::vector<std::string> skipped;
  scan =
      ScanSRecordImage(image, [&](const TSRecord &, const TRecordClass &c) { skipped.push_back(c.Message); });
  EXPECT_EQ(scan.Result, -15);
  EXPECT_EQ(scan.Error, "No Firmware address: 0x00003FF0");
  EXPECT_EQ(skipped, std::vector<std::string>{"No Flash address: 0x20000000"});

  // Nothing for flash: the programmer must not be started with an empty range.
  const std::string empty =
      dir.Write("empty.s19", Encode(0, 0, "hdr") + "\n" + Encode(3, 0x20000000, "xy") + "\n");
  ASSERT_TRUE(image.OpenFile(empty, ik_Bootloader, error));
  scan = ScanSRecordImage(image);
  EXPECT_EQ(scan.Result, -14);
  EXPECT_EQ(scan.Error, "No bootloader code data");
}

TEST(SRecordImage, LongLinesAndOpenFailures) {
  TTempDir dir;
  TSRecordImage image;
  std::string error;
  // Whatever follows the checksum is dropped, however long the line.
  const std::string file = dir.Write(
      "long.s19", Encode(3, 0x4000, "ab") + std::string(100000, 'x') + "\n" + Encode(3, 0x4002, "c"));
  ASSERT_TRUE(image.OpenFile(file, ik_UserCode, error));
  EXPECT_EQ(image.GetLineCount(), 2u);
  TImageScan scan = ScanSRecordImage(image);
  EXPECT_EQ(scan.Result, 0);
  EXPECT_EQ(scan.SentBytes, 3u);

  const std::string missing = (dir.FPath / "missing.s19").string();
  EXPECT_FALSE(image.OpenFile(missing, ik_UserCode, error));
  EXPECT_EQ(error, "Error on opening file: " + missing + " The system cannot find the file specified.");
  EXPECT_FALSE(image.OpenFile(dir.FPath.string(), ik_UserCode, error));
  EXPECT_EQ(error.rfind("Error on opening file: " + dir.FPath.string() + " ", 0), 0u);
}

TEST(EspImage, NameMarksEncryption) {
  EXPECT_TRUE(IsEncryptedImageName("x_Blow.bin"));
  EXPECT_TRUE(IsEncryptedImageName("/home/u/fw_Blow.bin"));
  EXPECT_FALSE(IsEncryptedImageName("_Blow.bin")) << "marker at the first position";
  EXPECT_FALSE(IsEncryptedImageName("/data/_Blow.bin")) << "the directory does not count";
  EXPECT_FALSE(IsEncryptedImageName("C:\\fw\\_Blow.bin"));
  EXPECT_FALSE(IsEncryptedImageName("/x_Blow/fw.bin"));
  EXPECT_FALSE(IsEncryptedImageName("fw_blow.bin"));
  EXPECT_EQ(FileNameWithoutDirectory("a/b\\c.bin"), "c.bin");
}

TEST(EspImage, StreamsTheFile) {
  TTempDir dir;
  std::string content(300, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  TEspImage image;
  std::string error;
  ASSERT_TRUE(image.Open(dir.Write("fw_Blow.bin", content), error)) << error;
  EXPECT_EQ(image.GetSize(), 300u);
  EXPECT_TRUE(image.GetCrypted());
  std::string read;
  char piece[128];
  std::vector<size_t> sizes;
  while (size_t n = image.Read(piece, sizeof piece)) {
    sizes.push_back(n);
    read.append(piece, n);
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{128, 128, 44}));
  EXPECT_EQ(read, content);
  EXPECT_FALSE(image.GetReadError());

  ASSERT_TRUE(image.Open(dir.Write("empty.bin", ""), error));
  EXPECT_EQ(image.GetSize(), 0u);
  EXPECT_FALSE(image.GetCrypted());
  EXPECT_EQ(image.Read(piece, sizeof piece), 0u);

  EXPECT_FALSE(image.Open(dir.FPath.string(), error)) << "a directory is no image";
  EXPECT_FALSE(image.IsOpen());
  EXPECT_FALSE(image.Open((dir.FPath / "none.bin").string(), error));
  EXPECT_EQ(error.rfind("Error on opening file: ", 0), 0u);
}

TEST(UploaderCommon, ErrorTexts) {
  EXPECT_EQ(ErrorText(0), "No error");
  EXPECT_EQ(ErrorText(1), "Canceled by user");
  EXPECT_EQ(ErrorText(2), "Flash unchanged");
  EXPECT_EQ(ErrorText(-4), "Format error in S-Record");
  EXPECT_EQ(ErrorText(-13), "Access via network not supported, Firmwareversion >=19 needed");
  EXPECT_EQ(ErrorText(-20), "Hardware fault");
  EXPECT_EQ(ErrorText(3), "Unknown: 3");
  EXPECT_EQ(ErrorText(-21), "Verify failed");
  EXPECT_EQ(ErrorText(-22), "Not an ESP image");
  EXPECT_EQ(ErrorText(-23), "Unknown: -23");
  for (int code = -22; code <= 2; ++code) EXPECT_EQ(ErrorText(code).rfind("Unknown", 0), std::string::npos);
}

}  // namespace
}  // namespace zor
