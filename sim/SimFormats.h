// Device side of the byte formats: what a device puts on the wire. Written
// independently of the tool's decoders so that a misreading on one side shows
// up against the other.
#pragma once

#include <cstdint>
#include <string>

namespace zor {

// Report ids the devices send.
enum : uint16_t {
  simRepVersion = 0x7001,
  simRepTimeSec = 0x7015,
  simRepTime100ms = 0x7016,
  simRepCalibration = 0x7901,
  simRepFlashData = 0x7902,
};

// Types of binary report records.
enum : uint8_t {
  simRecMessage = 0x70,
  simRecTools = 0x71,
  simRecTime = 0x72,
  simRecStatus = 0x73,
  simRecNvs = 0x78,
  simRecHeartbeat = 0x7D,
};

// Status words of a status record.
enum : uint16_t {
  simStatusReady = 253,
  simStatusTooManyUsers = 254,
  simStatusBufferCleared = 255,
};

constexpr uint32_t SimCdcMagic = 0xBFBFBFBF;
constexpr int SimCdcHeaderSize = 32;
constexpr int SimRecordHeaderSize = 16;
constexpr int SimRecordMaxValues = 24;

std::string SimBE16(uint16_t v);
std::string SimBE32(uint32_t v);
std::string SimLE16(uint16_t v);
std::string SimLE32(uint32_t v);
uint32_t SimReadBE32(const std::string &s, size_t pos);  // 0 past the end
uint32_t SimReadLE32(const std::string &s, size_t pos);
// "a.b.c.d" of a value (a << 24) | ... | d.
std::string SimIpText(uint32_t ip);

// A report in the common form: id (big-endian) followed by the payload.
std::string SimReport(uint16_t id, const std::string &payload);

// Text frame of a report: escape count, length byte, escaped data and check
// byte, end byte 0xBF. The length byte goes out as it is; only data and check
// byte are escaped. Reports longer than 257 bytes cannot be framed: empty result.
std::string SimTextFrame(const std::string &report);

// Binary report record: header (magic, type, count, W, D, S with the check
// byte) and `values`, which is padded with zeros to whole 8-byte values. More
// than 24 values cannot be sent: empty result.
struct TSimRecordHead {
  uint8_t Type = 0;
  uint16_t W = 0;
  uint32_t D = 0;
  uint32_t BufferPtr = 0;  // 18 bits, in 32-bit words
  uint8_t Scrambler = 0;   // 2 bits
  uint8_t User = 1;        // 1..16
};
std::string SimRecord(const TSimRecordHead &head, const std::string &values);
// Values carrying a text: its length byte, then the text.
std::string SimTextValues(const std::string &text);
// Sets user and buffer pointer of a record built by SimRecord and renews its
// check byte (a link stamps every copy for the connection it goes to).
void SimRestampRecord(std::string &record, uint8_t user, uint32_t bufferPtr);
// Size of a record in 32-bit words (how far it moves the buffer pointer).
uint32_t SimRecordWords(const std::string &record);

// CDC block: 32-byte header of eight big-endian words, then the payload
// (offset 0, size = byte count rounded up to whole words, zero padded).
enum : uint32_t {
  simCdcBufferCleared = 0x01,
  simCdcToolsData = 0x02,
  simCdcChannelData = 0x04,
  simCdcRepeatAddr = 0x08,
  simCdcMultiUser = 0x20,
};
struct TSimCdcHead {
  uint32_t Flags = 0;
  uint32_t WritePtr = 0;
  uint32_t ReadPtr = 0;
};
std::string SimCdcBlock(const std::string &payload, const TSimCdcHead &head);

// The CDC block stream of one data connection: keeps the device ring position
// so that every block continues the previous one (its read pointer, the
// repeat address, grows by the payload size; the write pointer carries the
// user in bits 17-18).
class TSimCdcStream {
 public:
  explicit TSimCdcStream(uint8_t user = 1, uint32_t position = 0) : FUser(user), FPosition(position & 0xFFFFF) {}
  std::string Block(const std::string &payload, uint32_t flags);
  void SetUser(uint8_t user) { FUser = user; }
  uint32_t Position() const { return FPosition; }
  // A restarted device counts from 0 again.
  void Reset() { FPosition = 0; }

 private:
  uint8_t FUser;
  uint32_t FPosition = 0;
};

// Version reports. ColdFire: the classic text after the id, e.g.
// "VERSION LUM: 112US CF 2019-05-10 Zor / 190510.0A / 0000ABCD / 10.0.0.7".
struct TSimVersionInfo {
  std::string ProductPrefix = "LUM:";
  int Version = 0;  // ColdFire number, or major * 100 + minor for ESP
  uint32_t HardFeature = 0;
  std::string Date;
  std::string Fpga;
  uint32_t SerialNumber = 0;
  uint32_t Ip = 0;  // (a << 24) | ... | d
  std::string FirmwareName = "LUM2";
  uint8_t User = 1;
};
std::string SimColdfireVersionReport(const TSimVersionInfo &info);
// ESP: "VERSION"-less text of five " / " parts, e.g.
// "0007 / 0000ABCD 1 / FW: LUM2-1.14 2023-10-05 / HW: 230815.0A / IP: 0700000A".
std::string SimEspVersionText(const TSimVersionInfo &info);

// ColdFire time stamp in units of 100 ms, as a report.
std::string SimTimeStampReport(uint32_t count100ms);
// ESP heartbeat values: one value per pair of words.
std::string SimHeartbeatValues(uint32_t first, uint32_t last);

}  // namespace zor
