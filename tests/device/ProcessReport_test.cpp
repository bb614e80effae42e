#include <gtest/gtest.h>

#include <vector>

#include "device/Zor_ProcessReport.h"
#include "foundation/Zor_Utils.h"

namespace zor {
namespace {

std::string Bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s += static_cast<char>(b);
  return s;
}

// --- device side, written here on its own so the decoders are checked against
// an independent reading of the wire format ---

// `sevenBitCheck`: choose the check byte the device uses after an extended
// command answer, where only the low 7 bits of the sum come out as 0.
std::string DeviceFrame(const std::string &report, bool sevenBitCheck = false) {
  std::vector<uint8_t> raw;
  raw.push_back(static_cast<uint8_t>((report.size() + 2) % 256));
  for (char c : report) raw.push_back(static_cast<uint8_t>(c));
  unsigned sum = 0;
  for (uint8_t b : raw) sum += b;
  uint8_t check = static_cast<uint8_t>(256 - sum % 256);
  if (sevenBitCheck) check ^= 0x80;
  raw.push_back(check);
  std::string body;
  int pairs = 0;
  for (uint8_t b : raw) {
    if (b >= 0xBC && b <= 0xBF) {
      body += '\xBC';
      body += static_cast<char>(b + 4);
      ++pairs;
    } else {
      body += static_cast<char>(b);
    }
  }
  return static_cast<char>(pairs % 256) + body + '\xBF';
}

// A data block of `n` bytes that contains every byte needing an escape.
std::string DataWithEscapes(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>(i % 5 == 0 ? 0xBC + (i / 5) % 4 : (i * 37) & 0xFF);
  return s;
}

// The processor's way through a stream: decode, skip the end byte of a good
// frame, and after a broken frame skip to the next end byte.
struct TStreamResult {
  std::vector<std::string> Reports;
  std::vector<std::string> Errors;
};

TStreamResult DecodeStream(std::string_view s) {
  TStreamResult out;
  while (!s.empty()) {
    const TZor_FrameResult r = DecodeTextFrame(s);
    if (r.Status == fs_Incomplete) break;
    s.remove_prefix(r.Consumed);
    if (r.Status == fs_Ok) {
      out.Reports.push_back(r.Report);
      if (!s.empty() && IsFrameEnd(static_cast<uint8_t>(s[0]))) s.remove_prefix(1);
      continue;
    }
    out.Errors.push_back(FrameErrorText(r.Status));
    if (r.Status != fs_UnexpectedEnd) {
      const size_t end = FindFrameEnd(s);
      s.remove_prefix(end == std::string_view::npos ? s.size() : end + 1);
    }
  }
  return out;
}

TEST(TextFrame, DeviceFramesOfEveryLengthDecodeAndMatchTheLocalBuilder) {
  for (size_t n = cMinFrameData; n <= cMaxFrameData; ++n) {
    const std::string report = DataWithEscapes(n);
    const std::string frame = DeviceFrame(report);
    EXPECT_EQ(BuildTextFrame(report), frame) << n;
    const TZor_FrameResult r = DecodeTextFrame(frame);
    ASSERT_EQ(r.Status, fs_Ok) << n;
    EXPECT_EQ(r.Report, report) << n;
    EXPECT_EQ(r.Consumed, frame.size() - 1) << n;
    EXPECT_EQ(TextFrameSize(frame), frame.size() - 1) << n;
  }
}

TEST(TextFrame, LengthsThatCannotBeFramedAreRefused) {
  EXPECT_EQ(BuildTextFrame(""), "");
  EXPECT_EQ(BuildTextFrame("x"), "");  // L = 3 would read as 257 data bytes
  EXPECT_EQ(BuildTextFrame(std::string(258, 'a')), "");
  // 189 escape pairs would put a raw end byte where E belongs.
  EXPECT_EQ(BuildTextFrame(std::string(188, '\xBD')), "");
}

TEST(TextFrame, LengthByteTwoCarries256Bytes) {
  const std::string frame = DeviceFrame(std::string(256, 'a'));
  EXPECT_EQ(static_cast<uint8_t>(frame[1]), 2);
  EXPECT_EQ(DecodeTextFrame(frame).Report.size(), 256u);
}

TEST(TextFrame, EscapeCountAboveByteRangeStillDecodes) {
  // 257 escaped data bytes: E wraps to 1, the length byte still tells the size.
  const std::string report(257, '\xBE');
  const std::string frame = DeviceFrame(report);
  ASSERT_EQ(frame[0], 1);
  const TZor_FrameResult r = DecodeTextFrame(frame);
  ASSERT_EQ(r.Status, fs_Ok);
  EXPECT_EQ(r.Report, report);
  EXPECT_EQ(r.Consumed, frame.size() - 1);
}

TEST(TextFrame, EscapedDataByteBEIsCountedInE) {
  EXPECT_EQ(BuildTextFrame(Bytes({0x70, 0xBE})), Bytes({1, 4, 0x70, 0xBC, 0xC2, 0xCE, 0xBF}));
}

TEST(TextFrame, TimeStampOnTheWire) {
  EXPECT_EQ(BuildTextFrame(MakeTimeStampReport(0x01020304)).substr(0, 7), Bytes({0, 8, 0x70, 0x16, 1, 2, 3}));
}

TEST(TextFrame, CheckByteRule) {
  // Bit 7 of the first data byte set: only the low 7 bits of the sum count.
  const std::string ext = Bytes({0x85, 0x40, 0x12});
  EXPECT_EQ(DecodeTextFrame(DeviceFrame(ext, true)).Status, fs_Ok);
  EXPECT_EQ(DecodeTextFrame(DeviceFrame(ext)).Status, fs_Ok);
  const std::string plain = Bytes({0x70, 0x01, 0x12});
  EXPECT_EQ(DecodeTextFrame(DeviceFrame(plain, true)).Status, fs_CheckSum);

  std::string wrong = DeviceFrame(ext);
  wrong[wrong.size() - 2] = static_cast<char>(wrong[wrong.size() - 2] + 1);
  const TZor_FrameResult r = DecodeTextFrame(wrong);
  EXPECT_EQ(r.Status, fs_CheckSum);
  EXPECT_EQ(r.Sum, 1);
  EXPECT_EQ(r.Length, 5u);
  EXPECT_EQ(r.Consumed, wrong.size() - 1);
}

TEST(TextFrame, PrefixesAreIncompleteAndNeverAskForTooMuch) {
  const std::string frame = DeviceFrame(DataWithEscapes(187));  // escaped length byte
  ASSERT_EQ(static_cast<uint8_t>(frame[1]), 0xBC);
  for (size_t n = 0; n + 1 < frame.size(); ++n) {
    const TZor_FrameResult r = DecodeTextFrame(std::string_view(frame).substr(0, n));
    ASSERT_EQ(r.Status, fs_Incomplete) << n;
    EXPECT_EQ(r.Consumed, 0u);
    EXPECT_GT(r.Needed, n);
    EXPECT_LE(r.Needed, frame.size() - 1);
  }
}

TEST(TextFrame, BrokenFramesAreRefusedAndDecodingResumes) {
  const std::string good1 = Bytes({0x70, 0x22});
  const std::string good2 = Bytes({0x21, 0x05, 1, 2, 3, 4});
  std::string badCheck = DeviceFrame(Bytes({0x70, 0x01, 'V'}));
  badCheck[badCheck.size() - 2] ^= 0x01;
  const std::string cutShort = DeviceFrame(good2).substr(0, 5) + '\xBF';  // device lost bytes
  const std::string withBE = Bytes({0, 5, 0x70, 0xBE, 0x01, 0x11, 0xBF});
  const std::string stream = DeviceFrame(good1) + badCheck + DeviceFrame(good2) + cutShort +
                             DeviceFrame(good1) + withBE + DeviceFrame(good2);

  const TStreamResult r = DecodeStream(stream);
  EXPECT_EQ(r.Reports, (std::vector<std::string>{good1, good2, good1, good2}));
  EXPECT_EQ(r.Errors, (std::vector<std::string>{"GetReport: CheckSum error",
                                                "GetReport: unexpected end character received",
                                                "GetReport: received illegal $BE"}));
}

TEST(TextFrame, ErrorIsFoundBeforeTheClaimedLengthArrives) {
  // A corrupted length byte claims 200 bytes, but the frame already broke.
  const TZor_FrameResult r = DecodeTextFrame(Bytes({0, 200, 0x70, 0x01, 0xBF}));
  EXPECT_EQ(r.Status, fs_UnexpectedEnd);
  EXPECT_EQ(r.Consumed, 5u);
  EXPECT_EQ(r.Report, Bytes({0x70, 0x01}));
}

// --- binary records ---

// Device side: header fields little-endian, check byte so that all bytes sum to 0.
std::string DeviceRecord(uint8_t type, uint16_t word, uint32_t d = 0, uint32_t ptr = 0, uint8_t scrambler = 0,
                         uint8_t user = 1, const std::string &values = {}) {
  std::string s = "LUM2";
  s += static_cast<char>(type);
  s += static_cast<char>(values.size() / 8);
  for (int i = 0; i < 2; ++i) s += static_cast<char>(word >> (8 * i));
  for (int i = 0; i < 4; ++i) s += static_cast<char>(d >> (8 * i));
  const uint32_t sw = (ptr & 0x3FFFF) | (uint32_t{scrambler} << 18) | ((user - 1u) << 20);
  for (int i = 0; i < 3; ++i) s += static_cast<char>(sw >> (8 * i));
  s += values;
  unsigned sum = 0;
  for (char c : s) sum += static_cast<uint8_t>(c);
  s.insert(15, 1, static_cast<char>(256 - sum % 256));
  return s;
}

// A text carried in values the way the device sends messages and NVS data.
std::string TextValues(const std::string &text) {
  std::string v = static_cast<char>(text.size()) + text;
  v.resize((v.size() + 7) / 8 * 8, '\0');
  return v;
}

std::string LE32Text(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

std::string Translate(const std::string &wire, uint8_t flagVersion = 0, uint8_t blob = 255) {
  TZor_Record rec;
  EXPECT_EQ(ReadRecord(wire, rec), rs_Ok);
  EXPECT_EQ(RecordCheckError(wire), "");
  return TranslateRecord(rec, flagVersion, blob);
}

TEST(BinaryRecord, EveryTypeAndCountDecodesToTheReportTheDeviceMeant) {
  for (uint8_t n = 0; n <= cMaxRecordValues; ++n) {
    std::string values;
    for (size_t i = 0; i < 8u * n; ++i) values += static_cast<char>(i * 11 + n);
    const std::string text = values.substr(0, n ? 8u * n - 1 : 0);  // longest text n values hold

    EXPECT_EQ(Translate(DeviceRecord(0x25, 5000, 0, 0x123, 2, 1, values)), MakeReport(0x2520, values));
    EXPECT_EQ(Translate(DeviceRecord(0x6F, 0, 0x0B, 0, 0, 1, values), 1), MakeReport(0x6FB0, values));
    EXPECT_EQ(Translate(DeviceRecord(rt_Values77, 0, 0, 0, 0, 1, values)), MakeReport(rid_Values77, values));
    EXPECT_EQ(Translate(DeviceRecord(rt_TimeStamp, 0, 77777, 0, 0, 1, values)), MakeTimeStampReport(77777));
    if (n == 0) continue;
    EXPECT_EQ(Translate(DeviceRecord(rt_Message, 0x7F51, 0, 0, 0, 1, TextValues(text))),
              MakeReport(rid_ReSync, text));
    EXPECT_EQ(Translate(DeviceRecord(rt_NVSData, 'b' | (3 << 8), 0, 0, 0, 1, TextValues(text))),
              MakeReport(rid_NVSData, text));
    EXPECT_EQ(Translate(DeviceRecord(rt_ToolsData, 0, 0, 0, 0, 1, TextValues(text)), 0, 0),
              MakeReport(text.size() == 4 ? rid_HardFeature : rid_NVSBlock0, text));

    std::string words, beats;
    for (uint8_t i = 0; i < n; ++i) {
      words += " " + IntToHex(0xA0B0C000u + i, 8);
      beats += ";" + IntToHex(i, 8) + ";" + IntToHex(0xFFFF0000u + i, 8);
    }
    std::string v74, v7d;
    for (uint8_t i = 0; i < n; ++i) {
      v74 += LE32Text(0xA0B0C000u + i) + LE32Text(0x12345678);
      v7d += LE32Text(i) + LE32Text(0xFFFF0000u + i);
    }
    EXPECT_EQ(Translate(DeviceRecord(rt_Values74, 0, 0, 0, 0, 1, v74)), MakeReport(rid_Values74, words));
    EXPECT_EQ(Translate(DeviceRecord(rt_Heartbeat, 0, 0, 0, 0, 1, v7d)), MakeReport(rid_Heartbeat, beats));
  }
}

TEST(BinaryRecord, ServiceTranslations) {
  EXPECT_EQ(Translate(DeviceRecord(rt_TimeStamp, 0, 1234)), Bytes({0x70, 0x16, 0, 0, 0x04, 0xD2}));
  EXPECT_EQ(Translate(DeviceRecord(rt_Status, 254)), MakeReport(rid_TooManyUsers, "Too many users"));
  EXPECT_EQ(Translate(DeviceRecord(rt_Status, 255)), MakeReport(rid_BufferCleared));
  EXPECT_EQ(Translate(DeviceRecord(rt_Status, 253)), MakeReport(rid_ESPStatus253));
  EXPECT_EQ(Translate(DeviceRecord(rt_Status, 0x21, 0, 0, 3)), MakeReport(rid_CmdAck, Bytes({0x21, 0x30})));
  // The block of the last read-NVS block command decides for tools data.
  const std::string tools = DeviceRecord(rt_ToolsData, 0, 0, 0, 0, 1, TextValues("calibration"));
  EXPECT_EQ(ReportId(Translate(tools, 0, 0)), rid_NVSBlock0);
  EXPECT_EQ(ReportId(Translate(tools, 0, 2)), rid_NVSData);
  EXPECT_EQ(ReportId(Translate(tools, 0, 255)), rid_NVSData);
  EXPECT_EQ(ReportId(Translate(DeviceRecord(rt_NVSData, 'b', 0, 0, 0, 1, TextValues("x")))), rid_NVSBlock0);
  EXPECT_EQ(ReportId(Translate(DeviceRecord(rt_NVSData, 'i' | (5 << 8), 0, 0, 0, 1, TextValues("abcd")))),
            rid_HardFeature);
  // Unknown NVS keys and types travel as hex text from the type byte on.
  const std::string debug = DeviceRecord(rt_Debug, 0x0102, 0, 0, 0, 1, std::string(8, 'A'));
  EXPECT_EQ(Translate(debug), MakeReport(rid_UnknownRecord, BytesToHex(debug.substr(4))));
  EXPECT_EQ(ReportId(Translate(DeviceRecord(rt_NVSData, 's' | (1 << 8)))), rid_UnknownRecord);
}

TEST(BinaryRecord, TextLengthByteBeyondTheValuesIsCut) {
  std::string v(8, 'x');
  v[0] = static_cast<char>(200);
  EXPECT_EQ(Translate(DeviceRecord(rt_Message, 0x7F21, 0, 0, 0, 1, v)),
            MakeReport(rid_ErrorMessage, "xxxxxxx"));
}

TEST(BinaryRecord, InvalidAndTruncatedRecordsAreRefused) {
  const std::string good = DeviceRecord(0x10, 100, 0, 0, 0, 1, std::string(24, 'v'));
  TZor_Record rec;
  for (size_t n = 0; n < good.size(); ++n) {
    EXPECT_EQ(ReadRecord(std::string_view(good).substr(0, n), rec), rs_Incomplete) << n;
  }
  EXPECT_EQ(ReadRecord(std::string_view(good).substr(0, 16), rec, true), rs_Ok);
  EXPECT_EQ(rec.Header.Size(), 40u);

  std::string tooMany = good;
  tooMany[5] = 25;
  EXPECT_EQ(ReadRecord(tooMany + std::string(200, '\0'), rec), rs_BadCount);
  std::string badMagic = good;
  badMagic[3] = '3';
  EXPECT_EQ(ReadRecord(badMagic, rec), rs_BadMagic);

  std::string badCheck = good;
  badCheck[20] ^= 0x10;
  EXPECT_EQ(RecordCheckError(badCheck),
            "CheckSum: " + IntToHex(static_cast<uint8_t>(good[15]), 2) + " Sum: F0");
}

TEST(BinaryRecord, ResynchronisationFindsEveryIntactRecord) {
  const std::string a = DeviceRecord(0x10, 100, 0, 0, 0, 1, std::string(16, 'a'));
  const std::string b = DeviceRecord(0x10, 200, 0, 0, 0, 1, std::string(8, 'b'));
  std::string badCount = b;
  badCount[5] = 30;
  // garbage, a record broken off after 8 bytes, a record cut inside its values,
  // a record with too many values; each followed by an intact record.
  const std::string stream =
      "xyLU" + a + a.substr(0, 8) + b + a.substr(0, 24) + b + badCount + a + std::string("LUM") + b;

  // The order of the checks matters: a record broken off after 8 bytes still
  // shows a valid header, so the second magic is looked for first.
  std::vector<std::string> found;
  std::string_view s = stream;
  while (!s.empty()) {
    TZor_Record rec;
    if (s.substr(0, 4) != "LUM2") {
      const size_t next = FindMagic(s);
      if (next == std::string_view::npos) break;
      s.remove_prefix(next);
    } else if (HasMagicAtOffset8(s)) {
      s.remove_prefix(8);
    } else if (const TZor_RecordStatus st = ReadRecord(s, rec); st == rs_Incomplete) {
      break;
    } else if (st != rs_Ok) {
      const size_t next = FindNextMagic(s);
      s.remove_prefix(next == std::string_view::npos ? s.size() : next);
    } else if (const int slot = FindMagicInValues(s); slot > 0) {
      s.remove_prefix(16 + 8 * (slot - 1));
    } else {
      found.emplace_back(s.substr(0, rec.Header.Size()));
      s.remove_prefix(rec.Header.Size());
    }
  }
  EXPECT_EQ(found, (std::vector<std::string>{a, b, b, a, b}));
}

TEST(BinaryRecord, LocalMessageRecord) {
  const std::string rec16 = BuildMessageRecord("0123456789abcdef");
  EXPECT_EQ(rec16.size(), 16u + 24u);
  EXPECT_EQ(rec16[5], 3);
  TZor_Record rec;
  ASSERT_EQ(ReadRecord(BuildMessageRecord(std::string(300, 'e')), rec), rs_Ok);
  EXPECT_EQ(rec.Header.Count, 24);
  EXPECT_EQ(TranslateRecord(rec, 0, 255), MakeReport(rid_ErrorMessage, std::string(191, 'e')));
}

TEST(BinaryRecord, HeaderFieldsAndLogForms) {
  const std::string wire =
      DeviceRecord(0x22, 1900, 0x1234, 0x3FFFE, 1, 3, LE32Text(1) + LE32Text(0x3FF00000));
  TZor_Record rec;
  ASSERT_EQ(ReadRecord(wire, rec), rs_Ok);
  EXPECT_EQ(rec.Header.UserIdMinus1(), 2);
  EXPECT_EQ(rec.Header.NextBufferPtr(1u << 19), 0x40004u);
  EXPECT_EQ(rec.Header.NextBufferPtr(1u << 17), 0x00004u);
  EXPECT_EQ(RecordReportHeader(rec.Header, 0), 0x2210);
  TZor_RecordHeader status;
  status.Type = rt_Status;
  EXPECT_EQ(RecordReportHeader(status, 0), 0xFFFF);

  const std::string chk = IntToHex(static_cast<uint8_t>(wire[15]), 2);
  EXPECT_EQ(DescribeRecord(rec),
            "Magic: LUM2 Type: 0x22 ValueCount: 1 FPGAtime: 1900 100msCounter: 4660 CheckSum: 0x" + chk +
                " UserID: 0x2 Scrambler: 0x1 BufferPtr: 0x3FFFE Values: 0x3FF0000000000001");
  EXPECT_EQ(RecordStreamLogLine(rec),
            "4C554D32 22 01  1900 00001234 " + chk + " 2 1 3FFFE 3FF0000000000001 1");
  // Columns of the heading: FPGA time right-aligned under "FPGA", pointer under "Ptr".
  const std::string heading = cRecordStreamLogHeading;
  EXPECT_EQ(RecordStreamLogLine(rec).substr(heading.find("FPGA"), 5), " 1900");
  EXPECT_EQ(RecordStreamLogLine(rec).substr(heading.find("Ptr"), 5), "3FFFE");

  TZor_Record msg;
  ASSERT_EQ(ReadRecord(DeviceRecord(rt_NVSData, 'b' | (2 << 8)), msg), rs_Ok);
  EXPECT_NE(DescribeRecord(msg).find(" NVS b 2 100msCounter: 0"), std::string::npos);
}

}  // namespace
}  // namespace zor
