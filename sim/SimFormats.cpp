#include "sim/SimFormats.h"

#include <cstdio>

#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

char Byte(uint32_t v) { return static_cast<char>(v & 0xFF); }
uint8_t At(const std::string &s, size_t pos) { return pos < s.size() ? static_cast<uint8_t>(s[pos]) : 0; }

uint8_t Sum(const std::string &s) {
  uint8_t sum = 0;
  for (unsigned char c : s) sum = static_cast<uint8_t>(sum + c);
  return sum;
}

}  // namespace

std::string SimBE16(uint16_t v) { return {Byte(v >> 8), Byte(v)}; }
std::string SimBE32(uint32_t v) { return {Byte(v >> 24), Byte(v >> 16), Byte(v >> 8), Byte(v)}; }
std::string SimLE16(uint16_t v) { return {Byte(v), Byte(v >> 8)}; }
std::string SimLE32(uint32_t v) { return {Byte(v), Byte(v >> 8), Byte(v >> 16), Byte(v >> 24)}; }

uint32_t SimReadBE32(const std::string &s, size_t pos) {
  return (uint32_t{At(s, pos)} << 24) | (uint32_t{At(s, pos + 1)} << 16) | (uint32_t{At(s, pos + 2)} << 8) |
         At(s, pos + 3);
}

uint32_t SimReadLE32(const std::string &s, size_t pos) {
  return At(s, pos) | (uint32_t{At(s, pos + 1)} << 8) | (uint32_t{At(s, pos + 2)} << 16) |
         (uint32_t{At(s, pos + 3)} << 24);
}

std::string SimIpText(uint32_t ip) {
  return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." +
         std::to_string((ip >> 8) & 0xFF) + "." + std::to_string(ip & 0xFF);
}

std::string SimReport(uint16_t id, const std::string &payload) { return SimBE16(id) + payload; }

std::string SimTextFrame(const std::string &report) {
  if (report.size() > 257) return {};
  const auto length = static_cast<uint8_t>(report.size() + 2);
  // Check byte: length byte + data + check byte sum to 0 (mod 256).
  const auto check = static_cast<uint8_t>(-(length + Sum(report)));
  std::string body;
  int escapes = 0;
  auto put = [&](uint8_t b) {
    if (b >= 0xBC && b <= 0xBF) {
      body += Byte(0xBC);
      body += Byte(b + 4);
      ++escapes;
    } else {
      body += Byte(b);
    }
  };
  for (unsigned char c : report) put(c);
  put(check);
  return std::string{Byte(escapes), Byte(length)} + body + Byte(0xBF);
}

std::string SimTextValues(const std::string &text) { return Byte(static_cast<uint32_t>(text.size())) + text; }

std::string SimRecord(const TSimRecordHead &head, const std::string &values) {
  const size_t count = (values.size() + 7) / 8;
  if (count > SimRecordMaxValues) return {};
  std::string rec = "LUM2";
  rec += Byte(head.Type);
  rec += Byte(static_cast<uint32_t>(count));
  rec += SimLE16(head.W);
  rec += SimLE32(head.D);
  rec += SimLE32(uint32_t(head.Scrambler & 3) << 18);
  rec += values;
  rec.resize(SimRecordHeaderSize + 8 * count, '\0');
  SimRestampRecord(rec, head.User, head.BufferPtr);
  return rec;
}

void SimRestampRecord(std::string &record, uint8_t user, uint32_t bufferPtr) {
  if (record.size() < SimRecordHeaderSize) return;
  uint32_t s = SimReadLE32(record, 12);
  s = (s & (3u << 18)) | (bufferPtr & 0x3FFFF) | (uint32_t((user - 1) & 0x0F) << 20);
  record.replace(12, 4, SimLE32(s));
  // Check byte (bits 24-31 of S): all record bytes sum to 0 (mod 256).
  record[15] = Byte(uint32_t(-Sum(record)) & 0xFF);
}

uint32_t SimRecordWords(const std::string &record) { return static_cast<uint32_t>(record.size() / 4); }

std::string SimCdcBlock(const std::string &payload, const TSimCdcHead &head) {
  const auto count = static_cast<uint32_t>(payload.size());
  const uint32_t size = (count + 3) & ~3u;
  std::string block = SimBE32(SimCdcMagic) + SimBE32(size) + SimBE32(count) + SimBE32(0) +
                      SimBE32(head.Flags) + SimBE32(head.WritePtr) + SimBE32(head.ReadPtr) + SimBE32(0);
  block += payload;
  block.resize(SimCdcHeaderSize + size, '\0');
  return block;
}

std::string TSimCdcStream::Block(const std::string &payload, uint32_t flags) {
  FPosition = (FPosition + static_cast<uint32_t>(payload.size())) & 0xFFFFF;
  TSimCdcHead head;
  head.Flags = flags;
  head.ReadPtr = FPosition;
  head.WritePtr = (FPosition & 0x1FFFF) | (uint32_t((FUser - 1) & 3) << 17);
  return SimCdcBlock(payload, head);
}

std::string SimColdfireVersionReport(const TSimVersionInfo &info) {
  std::string letters;
  if (info.HardFeature & 0x0002) letters += 'U';
  if (info.HardFeature & 0x0004) letters += 'S';
  if (info.HardFeature & 0x4000) letters += 'F';
  const std::string text = "VERSION " + info.ProductPrefix + " " + std::to_string(info.Version) + letters +
                           " CF " + info.Date + " Zor / " + info.Fpga + " / " +
                           IntToHex(info.SerialNumber, 8) + " / " + SimIpText(info.Ip) + " / User" +
                           std::to_string(info.User);
  return SimReport(simRepVersion, text);
}

std::string SimEspVersionText(const TSimVersionInfo &info) {
  // The address goes out as the hexadecimal number whose bytes, least
  // significant first, are the octets in text order.
  const uint32_t ip = ((info.Ip >> 24) & 0xFF) | (((info.Ip >> 16) & 0xFF) << 8) |
                      (((info.Ip >> 8) & 0xFF) << 16) | ((info.Ip & 0xFF) << 24);
  char minor[8];
  std::snprintf(minor, sizeof minor, "%02d", info.Version % 100);
  return IntToHex(info.HardFeature & 0xFFFF, 4) + " / " + IntToHex(info.SerialNumber, 8) + " " +
         std::to_string(info.User) + " / FW: " + info.FirmwareName + "-" +
         std::to_string(info.Version / 100) + "." + minor + " " + info.Date + " / HW: " + info.Fpga +
         " / IP: " + IntToHex(ip, 8);
}

std::string SimTimeStampReport(uint32_t count100ms) {
  return SimReport(simRepTime100ms, SimBE32(count100ms));
}

std::string SimHeartbeatValues(uint32_t first, uint32_t last) { return SimLE32(first) + SimLE32(last); }

}  // namespace zor
