// Test helpers for the device models: a capturing sink and small readers of
// the wire formats, written from the format description (not from the
// simulator's encoders) so the tests check the encoders against it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/SimDevice.h"

namespace zor::simtest {

inline std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

inline std::string BE32(uint32_t v) {
  return Bytes({int(v >> 24), int((v >> 16) & 0xFF), int((v >> 8) & 0xFF), int(v & 0xFF)});
}

inline uint32_t LE32At(const std::string &s, size_t p) {
  return uint8_t(s[p]) | uint32_t(uint8_t(s[p + 1])) << 8 | uint32_t(uint8_t(s[p + 2])) << 16 |
         uint32_t(uint8_t(s[p + 3])) << 24;
}

// Decodes a run of text frames into reports; a frame with a bad check sum
// yields the report "BAD".
inline std::vector<std::string> DecodeFrames(const std::string &wire) {
  std::vector<std::string> reports;
  size_t p = 0;
  while (p + 2 < wire.size()) {
    const uint8_t length = uint8_t(wire[p + 1]);
    size_t q = p + 2;
    std::string data;
    while (q < wire.size() && uint8_t(wire[q]) != 0xBF) {
      uint8_t b = uint8_t(wire[q++]);
      if (b == 0xBC && q < wire.size()) b = uint8_t(uint8_t(wire[q++]) - 4);
      data += char(b);
    }
    unsigned sum = length;
    for (unsigned char c : data) sum += c;
    const bool ok =
        !data.empty() && (sum & 0xFF) == 0 && data.size() == size_t((length < 4 ? length + 256 : length) - 1);
    data.pop_back();  // check byte
    reports.push_back(ok ? data : "BAD");
    p = q + 1;
  }
  return reports;
}

struct TRecord {
  bool Valid = false;
  uint8_t Type = 0, Count = 0;
  uint16_t W = 0;
  uint32_t D = 0, S = 0;
  std::string Values;
  // Text carried in the values: length byte, then the text.
  std::string Text() const { return Values.empty() ? "" : Values.substr(1, uint8_t(Values[0])); }
};

inline TRecord ParseRecord(const std::string &rec) {
  TRecord r;
  if (rec.size() < 16 || rec.compare(0, 4, "LUM2") != 0) return r;
  r.Type = uint8_t(rec[4]);
  r.Count = uint8_t(rec[5]);
  r.W = uint16_t(uint8_t(rec[6]) | uint8_t(rec[7]) << 8);
  r.D = LE32At(rec, 8);
  r.S = LE32At(rec, 12);
  unsigned sum = 0;
  for (unsigned char c : rec) sum += c;
  r.Values = rec.substr(16);
  r.Valid = r.Count <= 24 && rec.size() == 16u + 8u * r.Count && (sum & 0xFF) == 0;
  return r;
}

// Collects everything a model emits.
class TCapture {
 public:
  void Attach(TSimDevice &device) {
    device.SetSink([this](const TSimOutput &out) {
      std::lock_guard lock(FLock);
      Outputs.push_back(out);
    });
    device.SetEventHandler([this](const TSimEvent &ev) {
      std::lock_guard lock(FLock);
      Events.push_back(ev.Kind);
    });
  }
  std::vector<TSimOutput> Take() {
    std::lock_guard lock(FLock);
    auto out = std::move(Outputs);
    Outputs.clear();
    return out;
  }
  std::vector<TSimOutput> Outputs;
  std::vector<TSimEventKind> Events;

 private:
  std::mutex FLock;
};

}  // namespace zor::simtest
