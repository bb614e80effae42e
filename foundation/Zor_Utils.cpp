#include "foundation/Zor_Utils.h"

#include <clocale>
#include <cstdio>

namespace zor {

// --- byte texts ---------------------------------------------------------------

std::string BytesToText(const std::string &bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (unsigned char b : bytes) {
    if (b < 0x80) {
      text += static_cast<char>(b);
    } else {
      text += static_cast<char>(0xC0 | (b >> 6));
      text += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return text;
}

namespace {

// Length of the UTF-8 sequence at `i` and its code point; 0 if there is none.
size_t DecodeUtf8(const std::string &s, size_t i, uint32_t &cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  size_t len;
  if (b0 >= 0xC0 && b0 < 0xE0) {
    len = 2, cp = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 < 0xF0) {
    len = 3, cp = b0 & 0x0Fu;
  } else if (b0 >= 0xF0 && b0 < 0xF8) {
    len = 4, cp = b0 & 0x07u;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  return len;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Value of a non-empty run of digits, capped so long runs cannot overflow.
uint32_t DigitsValue(const std::string &digits, uint32_t cap) {
  uint32_t v = 0;
  for (char c : digits) {
    v = v * 10 + static_cast<uint32_t>(c - '0');
    if (v > cap) return cap;
  }
  return v;
}

// Inserts `separator` every three digits from the right, at most `maxSeparators` times.
std::string GroupDigits(uint64_t magnitude, bool negative, char separator, int maxSeparators) {
  std::string digits = std::to_string(magnitude);
  int inserted = 0;
  for (size_t pos = digits.size(); pos > 3 && inserted < maxSeparators; pos -= 3, ++inserted)
    digits.insert(pos - 3, 1, separator);
  return negative ? "-" + digits : digits;
}

}  // namespace

std::string TextToBytes(const std::string &text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    size_t len = DecodeUtf8(text, i, cp);
    if (len == 0) {
      bytes += text[i++];
    } else {
      bytes += static_cast<char>(cp & 0xFF);
      i += len;
    }
  }
  return bytes;
}

std::string IntToHex(uint64_t value, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%0*llX", digits, static_cast<unsigned long long>(value));
  return buf;
}

std::string BytesToHex(const std::string &bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string hex(bytes.size() * 2, '0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    hex[2 * i] = digits[b >> 4];
    hex[2 * i + 1] = digits[b & 0x0F];
  }
  return hex;
}

std::string HexToBytes(const std::string &hex) {
  if (hex.empty() || hex.size() % 2 != 0) return {};
  std::string bytes(hex.size() / 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    int hi = HexDigitValue(hex[2 * i]), lo = HexDigitValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return {};
    bytes[i] = static_cast<char>(hi * 16 + lo);
  }
  return bytes;
}

std::string IntToBigEndianText32(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
          static_cast<char>(value)};
}

std::string IntToBigEndianText16(uint16_t value) {
  return {static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::optional<uint32_t> BigEndianTextToInt32(const std::string &bytes, size_t pos) {
  if (pos > bytes.size() || bytes.size() - pos < 4) return std::nullopt;
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[pos + i]);
  return v;
}

std::optional<uint16_t> BigEndianTextToInt16(const std::string &bytes, size_t pos) {
  if (pos > bytes.size() || bytes.size() - pos < 2) return std::nullopt;
  return static_cast<uint16_t>((static_cast<unsigned char>(bytes[pos]) << 8) |
                               static_cast<unsigned char>(bytes[pos + 1]));
}

// --- splitting and cleaning -----------------------------------------------------

std::vector<std::string> SplitText(const std::string &text, const std::string &separator) {
  std::vector<std::string> parts;
  if (separator.empty()) {
    if (!text.empty()) parts.push_back(text);
    return parts;
  }
  size_t start = 0;
  for (size_t hit; (hit = text.find(separator, start)) != std::string::npos; start = hit + separator.size())
    parts.push_back(text.substr(start, hit - start));
  if (start < text.size()) parts.push_back(text.substr(start));
  return parts;
}

std::string ReplaceLineBreaks(const std::string &text, char replacement) {
  std::string result = text;
  for (char &c : result)
    if (c == '\r' || c == '\n') c = replacement;
  return result;
}

std::string TrimText(const std::string &text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  size_t first = 0, last = text.size();
  while (first < last && blank(text[first])) ++first;
  while (last > first && blank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

char LocaleDecimalSeparator() {
  const std::lconv *conv = std::localeconv();
  return conv && conv->decimal_point && conv->decimal_point[0] ? conv->decimal_point[0] : '.';
}

std::string NormalizeDecimalSeparator(const std::string &text, char localeSeparator) {
  char found = 0;
  if (text.find('.', 1) != std::string::npos)
    found = '.';
  else if (text.find(',', 1) != std::string::npos)
    found = ',';
  if (found == 0 || found == localeSeparator) return text;
  std::string result = text;
  for (char &c : result)
    if (c == found) c = localeSeparator;
  return result;
}

// --- number texts -------------------------------------------------------------

std::string IntToSeparatedText(int32_t value, char separator) {
  const int64_t v = value;
  return GroupDigits(static_cast<uint64_t>(v < 0 ? -v : v), v < 0, separator, 2);
}

std::string Int64ToSeparatedText(int64_t value, char separator) {
  // 0 - x in unsigned arithmetic also covers the most negative value.
  const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  return GroupDigits(magnitude, value < 0, separator, 4);
}

std::string ByteCountToText(uint64_t count) {
  constexpr uint64_t KB = 1024, MB = KB * 1024, GB = MB * 1024;
  if (count <= KB) return std::to_string(count) + " Bytes";
  const uint64_t unit = count <= MB ? KB : count <= GB ? MB : GB;
  const char *suffix = count <= MB ? " KB" : count <= GB ? " MB" : " GB";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(count) / static_cast<double>(unit));
  std::string text = buf;
  const size_t point = text.find('.');
  for (size_t pos = point; pos > 3; pos -= 3) text.insert(pos - 3, 1, ',');
  return text + suffix;
}

// --- IPv4 addresses -----------------------------------------------------------

bool IsValidIPv4(const std::string &text) {
  const std::string t = TrimText(text);
  int points = 0;
  for (char c : t) {
    if (c == '.')
      ++points;
    else if (!IsDigit(c))
      return false;
  }
  if (points != 3) return false;
  for (const std::string &part : SplitText(t + ".", "."))
    if (part.empty() || DigitsValue(part, 256) > 255) return false;
  return true;
}

bool IsValidPort(const std::string &text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!IsDigit(c)) return false;
  return DigitsValue(text, 65536) < 65536;
}

int64_t IPv4ToInt(const std::string &text) {
  if (!IsValidIPv4(text)) return -1;
  int64_t value = 0;
  int shift = 0;
  for (const std::string &part : SplitText(TrimText(text), ".")) {
    value |= static_cast<int64_t>(DigitsValue(part, 256)) << shift;
    shift += 8;
  }
  return value;
}

std::string IntToIPv4(uint32_t value) {
  return std::to_string(value & 0xFF) + "." + std::to_string((value >> 8) & 0xFF) + "." +
         std::to_string((value >> 16) & 0xFF) + "." + std::to_string(value >> 24);
}

std::string IPv4ToBytes(const std::string &text) {
  const int64_t value = IPv4ToInt(text);
  if (value < 0) return {};
  return {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
          static_cast<char>(value >> 24)};
}

std::string BytesToIPv4(const std::string &bytes) {
  if (bytes.size() != 4) return {};
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i)
    value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  return IntToIPv4(value);
}

std::string CanonicalIPv4(const std::string &text) {
  const int64_t value = IPv4ToInt(text);
  return value < 0 ? std::string() : IntToIPv4(static_cast<uint32_t>(value));
}

}  // namespace zor
