// Device-side encoders for the report processor tests: binary records are
// written here independently of the production decoder, so a misreading of
// the format shows up as a test failure instead of being shared.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/Zor_ProcessReport.h"

namespace zor::testdata {

// A binary record with a correct check byte; `values` are 8-byte little-endian.
inline std::string Record(uint8_t type, uint16_t w, uint32_t d, const std::vector<uint64_t> &values = {},
                          uint32_t s = 0) {
  std::string r = "LUM2";
  r += static_cast<char>(type);
  r += static_cast<char>(values.size());
  r += static_cast<char>(w & 0xFF);
  r += static_cast<char>(w >> 8);
  for (int i = 0; i < 4; ++i) r += static_cast<char>((d >> (8 * i)) & 0xFF);
  for (int i = 0; i < 3; ++i) r += static_cast<char>((s >> (8 * i)) & 0xFF);
  r += '\0';  // check byte, set below
  for (uint64_t v : values)
    for (int i = 0; i < 8; ++i) r += static_cast<char>((v >> (8 * i)) & 0xFF);
  uint8_t sum = 0;
  for (char c : r) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  r[15] = static_cast<char>(-sum);
  return r;
}

// A record whose values carry a length byte and a text (message, tools, NVS).
inline std::string TextRecord(uint8_t type, uint16_t w, const std::string &text) {
  std::string payload = static_cast<char>(text.size()) + text;
  payload.resize((payload.size() + 7) / 8 * 8, '\0');
  std::vector<uint64_t> values;
  for (size_t i = 0; i < payload.size(); i += 8) {
    uint64_t v = 0;
    for (int k = 7; k >= 0; --k) v = (v << 8) | static_cast<uint8_t>(payload[i + k]);
    values.push_back(v);
  }
  return Record(type, w, 0, values);
}

// The version record of an ESP device with firmware 1.`minor`.
inline std::string EspVersionRecord(int minor = 14, const std::string &serial = "12AB34CD") {
  return TextRecord(0x70, 0x7001,
                    "00A1 / " + serial + " 2 / FW: LUM2-1." + std::to_string(minor) +
                        " 2023-10-05 / HW: 230815.0A / IP: 0501A8C0");
}

// A measurement record of mode 2 with the 100 ms rate (type 0x26).
inline std::string Measurement(uint16_t fpgaTime, uint64_t value = 42) {
  return Record(0x26, fpgaTime, 0, {value});
}

inline std::string Heartbeat() { return Record(0x7D, 0, 0, {0x0000000200000001ull}); }

inline std::string Report(uint16_t id, const std::string &payload = {}) { return MakeReport(id, payload); }

inline uint16_t Id(const std::string &report) { return ReportId(report); }

inline std::string TimeStamp(uint32_t count100ms) { return MakeTimeStampReport(count100ms); }

}  // namespace zor::testdata
