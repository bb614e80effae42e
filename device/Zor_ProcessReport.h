// Report formats: the common report form, the text frames of ColdFire devices
// and the binary report records of ESP-based devices.
//
// Everything here is a pure function over bytes: a decoder takes the bytes that
// are available (for example peeked from a receive buffer), never reads past
// them, and says how many bytes it used, so a caller can peek, decode and then
// confirm exactly that many.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/Zor_Utils.h"

namespace zor {

// --- common report form ------------------------------------------------------
// A report is a byte text: the big-endian report id, then the payload.

enum TZor_ReportId : uint16_t {
  rid_Version = 0x7001,
  rid_TimeStampSec = 0x7015,
  rid_TimeStamp100ms = 0x7016,
  rid_HardFeature = 0x7019,
  rid_CmdAck = 0x7020,
  rid_ChannelSelection = 0x7021,
  rid_BufferCleared = 0x7022,
  rid_Values74 = 0x7100,
  rid_Values77 = 0x7900,
  rid_NVSBlock0 = 0x7901,
  rid_NVSData = 0x7902,
  rid_ESPStatus253 = 0x7EFE,
  rid_Heartbeat = 0x7EFF,
  rid_UnknownRecord = 0x7F20,
  rid_ErrorMessage = 0x7F21,
  rid_ReSync = 0x7F51,
  rid_InputOverrun = 0x7FF2,
  rid_FPGATimeError = 0x7FF4,
  rid_NoMeasurementData = 0x7FF7,
  rid_RefClockOk = 0x7FF8,
  rid_RefClockError = 0x7FF9,
  rid_TooManyUsers = 0x7FFA,
};

// The id of a report; 0xFFFF when it has fewer than two bytes.
uint16_t ReportId(std::string_view report);
// Measurement reports have ids below 0x7000 once the lost bit (bit 15) is cleared.
constexpr bool IsMeasurementId(uint16_t id) { return (id & 0x7FFF) < 0x7000; }
std::string MakeReport(uint16_t id, std::string_view payload = {});
// A 0x7016 time stamp: the count of 100 ms units as 4 big-endian bytes.
std::string MakeTimeStampReport(uint32_t count100ms);

// --- text frames ---------------------------------------------------------------
// Wire form: E (escape pairs), L (data bytes + 2, mod 256; 0 to 3 mean +256),
// the escaped data and check byte, then the end byte 0xBF (or 0xBD). Bytes
// 0xBC..0xBF are sent as 0xBC, byte + 4. A length byte in that range is escaped
// too, exactly as the frames built here do.

inline constexpr uint8_t cFrameEscape = 0xBC;
inline constexpr uint8_t cFrameEnd = 0xBF;
inline constexpr uint8_t cFrameEndAlt = 0xBD;
inline constexpr uint8_t cFrameIllegal = 0xBE;
inline constexpr size_t cMinFrameData = 2;  // lengths 0 and 1 cannot be told from 256 and 257
inline constexpr size_t cMaxFrameData = 257;
// E, L' unescaped bytes each possibly escaped, end byte.
inline constexpr size_t cMaxTextFrameSize = 1 + 2 * (cMaxFrameData + 2) + 1;

constexpr bool IsFrameEnd(uint8_t b) { return b == cFrameEnd || b == cFrameEndAlt; }

// The one check rule of every frame decoder (USB, network and serial line):
// `sum` is the 8-bit sum of the length byte, the data bytes and the check byte.
// It must be 0; when the first data byte has bit 7 set the device only keeps the
// low 7 bits, so only those must be 0. Pass 0 as firstData for a frame without data.
constexpr bool FrameCheckOk(uint8_t sum, uint8_t firstData) {
  return (firstData & 0x80) ? (sum & 0x7F) == 0 : sum == 0;
}

// The true length L' (data bytes + 2) from the length byte.
constexpr size_t FrameTrueLength(uint8_t lengthByte) {
  return lengthByte < 4 ? lengthByte + 256u : lengthByte;
}

// The frame around a report: empty when the report has fewer than 2 or more
// than 257 bytes (such lengths cannot be framed).
std::string BuildTextFrame(std::string_view report);

// Bytes a frame occupies from E up to (not including) its end byte, told from
// its first bytes; 0 while too few bytes are there (2, or 3 with an escaped
// length byte). A raw end byte or 0xBE where E or L belongs gives the size up to
// that byte, so decoding it reports the error and moves on.
size_t TextFrameSize(std::string_view head);

enum TZor_FrameStatus : uint8_t {
  fs_Ok,
  fs_Incomplete,     // the frame has not arrived completely; nothing consumed
  fs_UnexpectedEnd,  // raw 0xBD/0xBF inside the frame; consumed through it
  fs_IllegalBE,      // raw 0xBE; consumed through it, skip to the next end byte
  fs_CheckSum,  // check failed (or the escapes did not add up); consumed the whole frame, skip to its end
                // byte
};

struct TZor_FrameResult {
  TZor_FrameStatus Status = fs_Incomplete;
  size_t Consumed = 0;  // bytes to confirm (never the end byte that follows a good frame)
  size_t Needed = 0;    // fs_Incomplete: try again once at least this many bytes are there
  std::string Report;   // fs_Ok: the data bytes; on an error the bytes decoded so far (for the log)
  size_t Length = 0;    // L' claimed by the frame
  uint8_t Sum = 0;      // fs_CheckSum: the sum found
  uint8_t CheckByte = 0;
};

// Decodes the frame at the start of `bytes` (E first), as far as the bytes go:
// an error is found as soon as its byte is there. E only serves as the hint of
// TextFrameSize; the frame is decoded by its length byte. The end byte after
// the frame is not examined: the caller skips it when it is there.
TZor_FrameResult DecodeTextFrame(std::string_view bytes);
// The report processor's text for a frame error: "GetReport: CheckSum error" etc.
std::string FrameErrorText(TZor_FrameStatus status);
// Position of the first end byte (resynchronisation after a broken frame), or npos.
size_t FindFrameEnd(std::string_view bytes, size_t from = 0);

// --- binary report records -------------------------------------------------------
// 16-byte header, little-endian: "LUM2", type, value count n (<= 24), word W,
// D, S (bits 0-17 buffer pointer, 18-19 scrambler index, 20-23 user id - 1,
// 24-31 check byte); then n values of 8 bytes.

inline constexpr char cRecordMagic[] = "LUM2";
inline constexpr size_t cRecordHeaderSize = 16;
inline constexpr size_t cRecordValueSize = 8;
inline constexpr uint8_t cMaxRecordValues = 24;
inline constexpr size_t cMaxRecordSize = cRecordHeaderSize + cRecordValueSize * cMaxRecordValues;
// Column heading of the stream-log lines (RecordStreamLogLine).
inline constexpr char cRecordStreamLogHeading[] = "Magic    t  c  FPGA  Flags   Chk U S Ptr   Values";

enum TZor_RecordType : uint8_t {
  rt_FirstService = 0x70,  // types below are measurements
  rt_Message = 0x70,
  rt_ToolsData = 0x71,
  rt_TimeStamp = 0x72,
  rt_Status = 0x73,
  rt_Values74 = 0x74,
  rt_Values77 = 0x77,
  rt_NVSData = 0x78,
  rt_Heartbeat = 0x7D,
  rt_Debug = 0x7E,
};

// Status words of type 0x73 records.
inline constexpr uint16_t cStatusAckLimit = 240;  // below: acknowledgement of a setting command
inline constexpr uint16_t cStatus253 = 253;
inline constexpr uint16_t cStatusTooManyUsers = 254;
inline constexpr uint16_t cStatusBufferCleared = 255;

struct TZor_RecordHeader {
  char Magic[4] = {};
  uint8_t Type = 0;
  uint8_t Count = 0;
  uint16_t Word = 0;  // W: FPGA time, message id, status or NVS key
  uint32_t D = 0;     // 100 ms counter or flag bits
  uint32_t S = 0;

  bool MagicOk() const;
  bool IsMeasurement() const { return Type < rt_FirstService; }
  size_t Size() const { return cRecordHeaderSize + cRecordValueSize * Count; }
  uint32_t BufferPtr() const { return S & 0x3FFFF; }
  uint8_t SIndex() const { return (S >> 18) & 3; }           // scrambler index field of S
  uint8_t UserIdMinus1() const { return (S >> 20) & 0x0F; }  // the user id is this + 1
  uint8_t CheckByte() const { return static_cast<uint8_t>(S >> 24); }
  // Where the device's next record is expected: modulus 2^19 on USB, 2^17 on the serial line.
  uint32_t NextBufferPtr(uint32_t modulus) const { return (BufferPtr() + 2u * Count + 4u) % modulus; }
  char NVSKind() const { return static_cast<char>(Word & 0xFF); }
  uint8_t NVSNumber() const { return static_cast<uint8_t>(Word >> 8); }
};

struct TZor_Record {
  TZor_RecordHeader Header;
  std::string Values;  // 8 * Count bytes (empty when only the header was read)
};

enum TZor_RecordStatus : uint8_t {
  rs_Ok,
  rs_Incomplete,  // fewer than 16 bytes, or fewer than 8 * n values
  rs_BadMagic,
  rs_BadCount,  // more than 24 values
};

// Reads the record at the start of `bytes`; with headerOnly the values are not
// required. A record uses Header.Size() bytes.
TZor_RecordStatus ReadRecord(std::string_view bytes, TZor_Record &record, bool headerOnly = false);
inline TZor_RecordStatus ReadRecordHeader(std::string_view bytes, TZor_RecordHeader &header) {
  TZor_Record r;
  const TZor_RecordStatus st = ReadRecord(bytes, r, true);
  header = r.Header;
  return st;
}

// Resynchronisation: the first magic at or after `from`, or npos.
size_t FindMagic(std::string_view bytes, size_t from = 0);
// The next magic behind the one (or the garbage) at the start.
inline size_t FindNextMagic(std::string_view bytes) { return FindMagic(bytes, 1); }
// A magic 8 bytes in: the record at the start broke off after 8 bytes.
bool HasMagicAtOffset8(std::string_view bytes);
// The first value slot (1-based) of the record at the start that begins with the
// magic, i.e. a new record started inside this one; 0 when none. Only the
// value slots present in `bytes` are searched.
int FindMagicInValues(std::string_view bytes);

// Check rule: all record bytes sum to 0 mod 256. Empty when it holds, else
// "CheckSum: " + check byte + " Sum: " + sum (2 hex digits each).
std::string RecordCheckError(std::string_view rawRecord);

// The measurement header word of a record (the id it gets in the common form),
// or 0xFFFF for any other type. flagVersion 1 takes the scrambler index from D.
uint16_t RecordReportHeader(const TZor_RecordHeader &header, uint8_t flagVersion);

// The record in the common report form. blobNumber is the block of the last
// read-NVS block command (255: none); it decides between 0x7901 and 0x7902.
std::string TranslateRecord(const TZor_Record &record, uint8_t flagVersion, uint8_t blobNumber);
// The text carried by message, tools and NVS records: first value byte is its length.
std::string RecordValuesText(const TZor_Record &record);

// A message record (type 0x70) made locally, carrying `text` behind its length
// byte, zero-padded to whole values. Texts are cut to 191 bytes so the record
// stays within 24 values.
std::string BuildMessageRecord(std::string_view text, uint16_t messageId = rid_ErrorMessage);

// Log forms of a record: the one-line description ("Magic: LUM2 Type: 0x.. ...")
// and the stream-log line under cRecordStreamLogHeading.
std::string DescribeRecord(const TZor_Record &record, uint8_t flagVersion = 0);
std::string RecordStreamLogLine(const TZor_Record &record);

}  // namespace zor
