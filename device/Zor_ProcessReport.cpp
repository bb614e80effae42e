#include "device/Zor_ProcessReport.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

uint8_t Byte(std::string_view s, size_t i) { return static_cast<uint8_t>(s[i]); }

uint32_t LE32(std::string_view s, size_t i) {
  return Byte(s, i) | (Byte(s, i + 1) << 8) | (Byte(s, i + 2) << 16) |
         (static_cast<uint32_t>(Byte(s, i + 3)) << 24);
}

uint64_t LE64(std::string_view s, size_t i) {
  return LE32(s, i) | (static_cast<uint64_t>(LE32(s, i + 4)) << 32);
}

void AppendLE(std::string &out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

bool IsEscaped(uint8_t b) { return b >= cFrameEscape && b <= cFrameEnd; }

void AppendEscaped(std::string &out, uint8_t b, size_t &escapes) {
  if (IsEscaped(b)) {
    out += static_cast<char>(cFrameEscape);
    b = static_cast<uint8_t>(b + 4);
    ++escapes;
  }
  out += static_cast<char>(b);
}

// A raw byte that can never stand inside a frame.
TZor_FrameStatus RawByteError(uint8_t b) {
  if (IsFrameEnd(b)) return fs_UnexpectedEnd;
  if (b == cFrameIllegal) return fs_IllegalBE;
  return fs_Ok;
}

std::string EncodeRecordHeader(const TZor_RecordHeader &h) {
  std::string raw(h.Magic, 4);
  raw += static_cast<char>(h.Type);
  raw += static_cast<char>(h.Count);
  AppendLE(raw, h.Word, 2);
  AppendLE(raw, h.D, 4);
  AppendLE(raw, h.S, 4);
  return raw;
}

// Low byte of a measurement id: scrambler index (and, with flag version 1, the
// further index from bits 2-3 of D).
uint8_t MeasurementIndexByte(const TZor_RecordHeader &h, uint8_t flagVersion) {
  if (flagVersion == 1) return static_cast<uint8_t>((h.D & 3) * 16 + ((h.D >> 2) & 3) * 64);
  return static_cast<uint8_t>(h.SIndex() * 16);
}

std::string UnknownRecordReport(const TZor_Record &r) {
  return MakeReport(rid_UnknownRecord, BytesToHex(EncodeRecordHeader(r.Header).substr(4) + r.Values));
}

std::string ValueWordsText(const TZor_Record &r, bool withLastWord) {
  std::string text;
  for (size_t i = 0; i + cRecordValueSize <= r.Values.size(); i += cRecordValueSize) {
    if (withLastWord) {
      text += ";" + IntToHex(LE32(r.Values, i), 8) + ";" + IntToHex(LE32(r.Values, i + 4), 8);
    } else {
      text += " " + IntToHex(LE32(r.Values, i), 8);
    }
  }
  return text;
}

std::string MagicText(const TZor_RecordHeader &h) {
  for (char c : h.Magic) {
    if (static_cast<uint8_t>(c) < 0x20 || static_cast<uint8_t>(c) > 0x7E)
      return "0x" + BytesToHex(std::string(h.Magic, 4));
  }
  return std::string(h.Magic, 4);
}

}  // namespace

// --- common report form ------------------------------------------------------

uint16_t ReportId(std::string_view report) {
  if (report.size() < 2) return 0xFFFF;
  return static_cast<uint16_t>((Byte(report, 0) << 8) | Byte(report, 1));
}

std::string MakeReport(uint16_t id, std::string_view payload) {
  std::string r;
  r.reserve(2 + payload.size());
  r += static_cast<char>(id >> 8);
  r += static_cast<char>(id & 0xFF);
  r += payload;
  return r;
}

std::string MakeTimeStampReport(uint32_t count100ms) {
  return MakeReport(rid_TimeStamp100ms, IntToBigEndianText32(count100ms));
}

// --- text frames ---------------------------------------------------------------

std::string BuildTextFrame(std::string_view report) {
  if (report.size() < cMinFrameData || report.size() > cMaxFrameData) return {};
  const auto length = static_cast<uint8_t>(report.size() + 2);
  uint8_t sum = length;
  for (char c : report) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  std::string frame(1, '\0');
  frame.reserve(2 * report.size() + 8);
  size_t escapes = 0;
  AppendEscaped(frame, length, escapes);
  for (char c : report) AppendEscaped(frame, static_cast<uint8_t>(c), escapes);
  AppendEscaped(frame, static_cast<uint8_t>(-sum), escapes);
  // E itself is not escaped; a count that reads as an end byte or 0xBE cannot be sent.
  if (RawByteError(static_cast<uint8_t>(escapes)) != fs_Ok) return {};
  frame[0] = static_cast<char>(escapes & 0xFF);
  frame += static_cast<char>(cFrameEnd);
  return frame;
}

size_t TextFrameSize(std::string_view head) {
  if (head.size() < 2) return 0;
  const uint8_t escapes = Byte(head, 0);
  if (RawByteError(escapes) != fs_Ok) return 1;
  uint8_t length = Byte(head, 1);
  if (RawByteError(length) != fs_Ok) return 2;
  if (length == cFrameEscape) {
    if (head.size() < 3) return 0;
    if (RawByteError(Byte(head, 2)) != fs_Ok) return 3;
    length = static_cast<uint8_t>(Byte(head, 2) - 4);
  }
  return escapes + FrameTrueLength(length) + 1;
}

TZor_FrameResult DecodeTextFrame(std::string_view bytes) {
  TZor_FrameResult r;
  // Bytes are decoded as far as they go, so a broken frame is refused as soon
  // as its bad byte is there, not only once its claimed length has arrived.
  const size_t hint = TextFrameSize(bytes);
  if (hint == 0) {
    r.Needed = bytes.size() + 1;
    return r;
  }
  if ((r.Status = RawByteError(Byte(bytes, 0))) != fs_Ok) {
    r.Consumed = 1;
    return r;
  }
  // E only tells how many bytes to wait for; the frame is decoded by its length
  // byte, so an escape count beyond 255 does not break it.
  std::string decoded;  // length byte, data bytes, check byte
  size_t pos = 1;
  uint8_t sum = 0;
  while (true) {
    if (!decoded.empty() && decoded.size() == r.Length) break;
    if (pos >= bytes.size()) {
      r.Status = fs_Incomplete;
      r.Needed = std::max(hint, pos + (r.Length - decoded.size()));
      r.Report = decoded.substr(decoded.empty() ? 0 : 1);
      return r;
    }
    uint8_t b = Byte(bytes, pos);
    size_t used = 1;
    if (b == cFrameEscape) {
      if (pos + 1 >= bytes.size()) {
        r.Status = fs_Incomplete;
        r.Needed = std::max(hint, pos + 1 + (decoded.empty() ? 2 : r.Length - decoded.size()));
        r.Report = decoded.substr(decoded.empty() ? 0 : 1);
        return r;
      }
      b = Byte(bytes, pos + 1);
      used = 2;
    }
    if ((r.Status = RawByteError(b)) != fs_Ok) {
      r.Consumed = pos + used;
      r.Report = decoded.substr(decoded.empty() ? 0 : 1);
      return r;
    }
    if (used == 2) b = static_cast<uint8_t>(b - 4);
    pos += used;
    if (decoded.empty()) {
      r.Length = FrameTrueLength(b);
      decoded.reserve(r.Length);
    }
    decoded += static_cast<char>(b);
    sum = static_cast<uint8_t>(sum + b);
  }
  r.Consumed = pos;
  r.Sum = sum;
  r.CheckByte = static_cast<uint8_t>(decoded.back());
  r.Report = decoded.substr(1, decoded.size() - 2);
  const uint8_t firstData = r.Report.empty() ? 0 : static_cast<uint8_t>(r.Report[0]);
  r.Status = FrameCheckOk(sum, firstData) ? fs_Ok : fs_CheckSum;
  return r;
}

std::string FrameErrorText(TZor_FrameStatus status) {
  switch (status) {
    case fs_UnexpectedEnd: return "GetReport: unexpected end character received";
    case fs_IllegalBE: return "GetReport: received illegal $BE";
    case fs_CheckSum: return "GetReport: CheckSum error";
    default: return {};
  }
}

size_t FindFrameEnd(std::string_view bytes, size_t from) {
  for (size_t i = from; i < bytes.size(); ++i) {
    if (IsFrameEnd(Byte(bytes, i))) return i;
  }
  return std::string_view::npos;
}

// --- binary report records -------------------------------------------------------

bool TZor_RecordHeader::MagicOk() const { return std::memcmp(Magic, cRecordMagic, 4) == 0; }

TZor_RecordStatus ReadRecord(std::string_view bytes, TZor_Record &record, bool headerOnly) {
  record = TZor_Record();
  if (bytes.size() < cRecordHeaderSize) return rs_Incomplete;
  TZor_RecordHeader &h = record.Header;
  std::memcpy(h.Magic, bytes.data(), 4);
  h.Type = Byte(bytes, 4);
  h.Count = Byte(bytes, 5);
  h.Word = static_cast<uint16_t>(Byte(bytes, 6) | (Byte(bytes, 7) << 8));
  h.D = LE32(bytes, 8);
  h.S = LE32(bytes, 12);
  if (!h.MagicOk()) return rs_BadMagic;
  if (h.Count > cMaxRecordValues) return rs_BadCount;
  if (headerOnly) return rs_Ok;
  if (bytes.size() < h.Size()) return rs_Incomplete;
  record.Values.assign(bytes.substr(cRecordHeaderSize, h.Size() - cRecordHeaderSize));
  return rs_Ok;
}

size_t FindMagic(std::string_view bytes, size_t from) {
  if (from >= bytes.size()) return std::string_view::npos;
  return bytes.find(std::string_view(cRecordMagic, 4), from);
}

bool HasMagicAtOffset8(std::string_view bytes) {
  return bytes.size() >= 12 && bytes.substr(8, 4) == std::string_view(cRecordMagic, 4);
}

int FindMagicInValues(std::string_view bytes) {
  if (bytes.size() < cRecordHeaderSize) return 0;
  const size_t count = Byte(bytes, 5);
  for (size_t s = 0; s < count; ++s) {
    const size_t at = cRecordHeaderSize + s * cRecordValueSize;
    if (at + 4 > bytes.size()) break;
    if (bytes.substr(at, 4) == std::string_view(cRecordMagic, 4)) return static_cast<int>(s + 1);
  }
  return 0;
}

std::string RecordCheckError(std::string_view rawRecord) {
  uint8_t sum = 0;
  for (char c : rawRecord) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  if (sum == 0) return {};
  const uint8_t check = rawRecord.size() >= cRecordHeaderSize ? Byte(rawRecord, 15) : 0;
  return "CheckSum: " + IntToHex(check, 2) + " Sum: " + IntToHex(sum, 2);
}

uint16_t RecordReportHeader(const TZor_RecordHeader &header, uint8_t flagVersion) {
  if (!header.IsMeasurement()) return 0xFFFF;
  return static_cast<uint16_t>(header.Type * 256 + MeasurementIndexByte(header, flagVersion));
}

std::string RecordValuesText(const TZor_Record &record) {
  if (record.Values.empty()) return {};
  const size_t length = Byte(record.Values, 0);
  return record.Values.substr(1, length);  // cut to what the values hold
}

std::string TranslateRecord(const TZor_Record &record, uint8_t flagVersion, uint8_t blobNumber) {
  const TZor_RecordHeader &h = record.Header;
  if (h.IsMeasurement()) return MakeReport(RecordReportHeader(h, flagVersion), record.Values);
  switch (h.Type) {
    case rt_Message: return MakeReport(h.Word, RecordValuesText(record));
    case rt_ToolsData: {
      const std::string text = RecordValuesText(record);
      if (text.size() == 4) return MakeReport(rid_HardFeature, text);
      return MakeReport(blobNumber != 0 ? rid_NVSData : rid_NVSBlock0, text);
    }
    case rt_TimeStamp: return MakeTimeStampReport(h.D);
    case rt_Status:
      if (h.Word < cStatusAckLimit) {
        std::string payload(1, static_cast<char>(h.Word & 0xFF));
        payload += static_cast<char>(MeasurementIndexByte(h, flagVersion));
        return MakeReport(rid_CmdAck, payload);
      }
      if (h.Word == cStatus253) return MakeReport(rid_ESPStatus253);
      if (h.Word == cStatusTooManyUsers) return MakeReport(rid_TooManyUsers, "Too many users");
      if (h.Word == cStatusBufferCleared) return MakeReport(rid_BufferCleared);
      return UnknownRecordReport(record);
    case rt_Values74: return MakeReport(rid_Values74, ValueWordsText(record, false));
    case rt_Values77: return MakeReport(rid_Values77, record.Values);
    case rt_NVSData:
      if (h.NVSKind() == 'b' && h.NVSNumber() == 0)
        return MakeReport(rid_NVSBlock0, RecordValuesText(record));
      if (h.NVSKind() == 'b' && h.NVSNumber() >= 1 && h.NVSNumber() <= 4)
        return MakeReport(rid_NVSData, RecordValuesText(record));
      if (h.NVSKind() == 'i' && h.NVSNumber() == 5)
        return MakeReport(rid_HardFeature, RecordValuesText(record));
      return UnknownRecordReport(record);
    case rt_Heartbeat: return MakeReport(rid_Heartbeat, ValueWordsText(record, true));
    default: return UnknownRecordReport(record);
  }
}

std::string BuildMessageRecord(std::string_view text, uint16_t messageId) {
  constexpr size_t cMaxText = cMaxRecordValues * cRecordValueSize - 1;
  if (text.size() > cMaxText) text = text.substr(0, cMaxText);
  std::string values(1, static_cast<char>(text.size()));
  values += text;
  values.resize((values.size() + cRecordValueSize - 1) / cRecordValueSize * cRecordValueSize, '\0');
  TZor_RecordHeader h;
  std::memcpy(h.Magic, cRecordMagic, 4);
  h.Type = rt_Message;
  h.Count = static_cast<uint8_t>(values.size() / cRecordValueSize);
  h.Word = messageId;
  return EncodeRecordHeader(h) + values;
}

std::string DescribeRecord(const TZor_Record &record, uint8_t flagVersion) {
  const TZor_RecordHeader &h = record.Header;
  std::string s = "Magic: " + MagicText(h) + " Type: 0x" + IntToHex(h.Type, 2) +
                  " ValueCount: " + std::to_string(h.Count);
  if (h.Type == rt_Message) {
    s += " Message: 0x" + IntToHex(h.Word, 4);
  } else if (h.Type == rt_Status) {
    s += (h.Word < cStatusAckLimit ? " Header: 0x" : " Status: 0x") + IntToHex(h.Word, 2);
  } else if (h.Type == rt_NVSData) {
    s += std::string(" NVS ") + h.NVSKind() + " " + std::to_string(h.NVSNumber());
  } else {
    s += " FPGAtime: " + std::to_string(h.Word);
  }
  if (h.IsMeasurement() && flagVersion == 1) {
    s += " Flags: 0x" + IntToHex(h.D, 8);
  } else {
    s += " 100msCounter: " + std::to_string(h.D);
  }
  s += " CheckSum: 0x" + IntToHex(h.CheckByte(), 2) + " UserID: 0x" + IntToHex(h.UserIdMinus1(), 1) +
       " Scrambler: 0x" + IntToHex(h.SIndex(), 1) + " BufferPtr: 0x" + IntToHex(h.BufferPtr(), 5);
  for (size_t i = 0; i + cRecordValueSize <= record.Values.size(); i += cRecordValueSize) {
    s += (i == 0 ? " Values: 0x" : "; 0x") + IntToHex(LE64(record.Values, i), 16);
  }
  return s;
}

std::string RecordStreamLogLine(const TZor_Record &record) {
  const TZor_RecordHeader &h = record.Header;
  // W right-aligned in 5 places: hex with an "x" for messages and statuses.
  std::string word =
      (h.Type == rt_Message || h.Type == rt_Status) ? "x" + IntToHex(h.Word, 2) : std::to_string(h.Word);
  if (word.size() < 5) word.insert(0, 5 - word.size(), ' ');
  std::string s = BytesToHex(std::string(h.Magic, 4)) + " " + IntToHex(h.Type, 2) + " " +
                  IntToHex(h.Count, 2) + " " + word + " " + IntToHex(h.D, 8) + " " +
                  IntToHex(h.CheckByte(), 2) + " " + IntToHex(h.UserIdMinus1(), 1) + " " +
                  IntToHex(h.SIndex(), 1) + " " + IntToHex(h.BufferPtr(), 5);
  for (size_t i = 0; i + cRecordValueSize <= record.Values.size(); i += cRecordValueSize) {
    s += " " + IntToHex(LE64(record.Values, i), 16);
  }
  if (h.Type < 0x60) {
    for (size_t i = 0; i + cRecordValueSize <= record.Values.size(); i += cRecordValueSize) {
      char num[40];
      std::snprintf(num, sizeof num, " %.9g", std::bit_cast<double>(LE64(record.Values, i)));
      s += num;
    }
  }
  return s;
}

}  // namespace zor
