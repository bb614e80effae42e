// Small conversions shared by the device library and the front ends: byte
// texts, hexadecimal display, big-endian fields, splitting and cleaning texts,
// number texts and IPv4 addresses. Log texts, command strings and the network
// configuration depend on their exact results.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zor {

// --- byte texts ---------------------------------------------------------------
// A byte text is a std::string holding bytes 0-255. User-visible texts are
// UTF-8; these two map between them with byte n <-> character U+00nn.
std::string BytesToText(const std::string &bytes);
// Every character becomes the byte of its low 8 bits; a byte that is not part
// of a valid UTF-8 sequence is taken as it is.
std::string TextToBytes(const std::string &text);

// Two upper-case hexadecimal digits per byte, no separators: "AB" -> "4142".
std::string BytesToHex(const std::string &bytes);
// `value` in upper-case hexadecimal, at least `digits` digits (log texts).
std::string IntToHex(uint64_t value, int digits);
// The reverse; empty unless the text has an even, non-zero length of hex digits.
std::string HexToBytes(const std::string &hex);

// Big-endian fields (most significant byte first).
std::string IntToBigEndianText32(uint32_t value);
std::string IntToBigEndianText16(uint16_t value);
// The field at `pos`; nullopt when the text is too short.
std::optional<uint32_t> BigEndianTextToInt32(const std::string &bytes, size_t pos = 0);
std::optional<uint16_t> BigEndianTextToInt16(const std::string &bytes, size_t pos = 0);

constexpr uint32_t Swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
constexpr uint16_t Swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

// --- splitting and cleaning -----------------------------------------------------
// Parts up to each separator, then the rest when it is not empty:
// "a;b;" -> {"a","b"}, ";a" -> {"","a"}. An empty separator gives the whole text.
std::vector<std::string> SplitText(const std::string &text, const std::string &separator);
// Every CR and every LF becomes `replacement` (multi-line texts in log lines).
std::string ReplaceLineBreaks(const std::string &text, char replacement);
// Without leading and trailing spaces and control characters.
std::string TrimText(const std::string &text);

// The decimal separator of the current C locale.
char LocaleDecimalSeparator();
// The first '.' (else the first ',') at the second position or later is the
// text's separator; each of its occurrences becomes `localeSeparator`.
std::string NormalizeDecimalSeparator(const std::string &text, char localeSeparator);
inline std::string NormalizeDecimalSeparator(const std::string &text) {
  return NormalizeDecimalSeparator(text, LocaleDecimalSeparator());
}

// --- number texts -------------------------------------------------------------
// Decimal with `separator` before the last three and the last six digits:
// 1234567890 -> "1234.567.890".
std::string IntToSeparatedText(int32_t value, char separator = '.');
// Decimal with `separator` every three digits, at most four of them (five groups).
std::string Int64ToSeparatedText(int64_t value, char separator = '.');
// "1024 Bytes", "1.50 KB", "12.00 MB", "1,024.00 GB".
std::string ByteCountToText(uint64_t count);

// --- IPv4 addresses -----------------------------------------------------------
// After trimming: digits and points only, exactly three points, every part
// present and below 256.
bool IsValidIPv4(const std::string &text);
// Digits only, value below 65536.
bool IsValidPort(const std::string &text);
// a.b.c.d -> a + b*256 + c*65536 + d*16777216 (first part in the lowest
// byte); -1 for a text that is not a valid address.
int64_t IPv4ToInt(const std::string &text);
// Bytes from the lowest to the highest, dotted decimal.
std::string IntToIPv4(uint32_t value);
// The four part values as a 4-byte text; empty for an invalid address.
std::string IPv4ToBytes(const std::string &text);
// A 4-byte text in dotted decimal; empty unless exactly four bytes are given.
std::string BytesToIPv4(const std::string &bytes);
// The address in canonical dotted decimal ("192.168.001.010 " ->
// "192.168.1.10"): blanks trimmed, every part read as decimal; empty when the
// text is not a valid address.
std::string CanonicalIPv4(const std::string &text);

}  // namespace zor
