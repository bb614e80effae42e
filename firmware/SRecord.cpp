#include "firmware/SRecord.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "device/Zor_ColdfireAddresses.h"
#include "firmware/Uploader_Common.h"
#include "foundation/Zor_Utils.h"
#include "platform/Zor_Sys.h"

// Embedded resources, generated at build time from firmware/resources/.
namespace zor::resources {
extern const unsigned char SystemCode[];
extern const size_t SystemCodeSize;
}  // namespace zor::resources

namespace zor {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Exactly `width` hex digits. A field cut short by the end of the line is an
// error, not a shorter number.
bool TryHex(std::string_view text, size_t width, uint32_t &value) {
  if (text.size() != width) return false;
  uint32_t v = 0;
  for (char c : text) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  value = v;
  return true;
}

// Characters from the 1-based position `pos`, at most `n`, clipped at the end.
std::string_view Field(std::string_view line, size_t pos, size_t n) {
  return pos - 1 < line.size() ? line.substr(pos - 1, n) : std::string_view();
}

struct TWindow {
  uint32_t First, Last;
};

bool Inside(const TSRecord &record, TWindow w) {
  // The whole record must fit, not only its first byte.
  const uint64_t last = uint64_t{record.Address} + std::max<size_t>(record.Data.size(), 1) - 1;
  return record.Address >= w.First && last <= w.Last;
}

TRecordClass Skip(const char *reason, uint32_t address) {
  TRecordClass c;
  c.Message = reason + IntToHex(address, 8);
  return c;
}

TRecordClass ClassifyFlashRecord(const TSRecord &record, TWindow window, int rejectResult,
                                 const char *rejectText) {
  TRecordClass c;
  if (Inside(record, window)) {
    c.Action = ra_Send;
    c.Target = record.Address | CF_StagingFlag;
  } else if (record.Address < CF_FlashSpaceLimit) {
    c.Action = ra_Reject;
    c.Result = rejectResult;
    c.Message = rejectText + IntToHex(record.Address, 8);
  } else {
    c = Skip("No Flash address: 0x", record.Address);
  }
  return c;
}

}  // namespace

void TSRecord::Clear() {
  Typ = 0;
  Count = 0;
  Address = 0;
  Data.clear();
  CheckSum = 0;
  Error.clear();
}

uint32_t HexToInt(std::string_view text) {
  uint32_t value = 0;
  if (text.empty() || text.size() > 8 || !TryHex(text, text.size(), value))
    throw std::invalid_argument("'$" + std::string(text) + "' is not a valid integer value");
  return value;
}

bool IsSRecord(std::string_view line) {
  return line.size() >= 2 && line[0] == 'S' &&
         std::string_view("01235789").find(line[1]) != std::string_view::npos;
}

bool ParseSRecord(std::string_view line, TSRecord &record) {
  record.Clear();
  if (line.empty()) {
    record.Error = "Null string";
    return false;
  }
  if (!IsSRecord(line)) {
    record.Error = "No S-Record: unknown type=" + std::string(line.substr(0, 2));
    return false;
  }
  record.Typ = static_cast<uint8_t>(line[1] - '0');

  uint32_t value = 0;
  const std::string_view countText = Field(line, 3, 2);
  if (!TryHex(countText, 2, value)) {
    record.Error = "No hex value ($" + std::string(countText) + ") on position 3";
    return false;
  }
  record.Count = static_cast<uint8_t>(value);

  // Address width by type; data follow the address, the checksum follows the data.
  size_t addressDigits = 4;
  if (record.Typ == 2 || record.Typ == 8) addressDigits = 6;
  if (record.Typ == 3 || record.Typ == 7) addressDigits = 8;
  const std::string_view addressText = Field(line, 5, addressDigits);
  if (!TryHex(addressText, addressDigits, value)) {
    record.Error = "No address value (" + std::string(addressText) + ") on position 5";
    return false;
  }
  record.Address = value;

  size_t pos = 5 + addressDigits;
  auto readByte = [&](uint8_t &byte) {
    const std::string_view pair = Field(line, pos, 2);
    if (!TryHex(pair, 2, value)) {
      record.Error = "No hex value (" + std::string(pair) + ") on position " + std::to_string(pos);
      return false;
    }
    byte = static_cast<uint8_t>(value);
    pos += 2;
    return true;
  };
  if (record.IsData()) {
    const int dataCount = int{record.Count} - 1 - static_cast<int>(addressDigits / 2);
    if (dataCount > 0) record.Data.reserve(static_cast<size_t>(dataCount));
    for (int i = 0; i < dataCount; ++i) {
      uint8_t byte = 0;
      if (!readByte(byte)) {
        record.Data.clear();
        return false;
      }
      record.Data.push_back(static_cast<char>(byte));
    }
  }
  return readByte(record.CheckSum);
}

std::string ImageKindToText(TImageKind kind) {
  switch (kind) {
    case ik_UserCode: return "user code";
    case ik_Bootloader: return "bootloader code";
    case ik_SystemCode: return "system code";
  }
  return std::to_string(static_cast<int>(kind));
}

TRecordClass ClassifyRecord(const TSRecord &record, TImageKind kind) {
  if (!record.IsData() || !record.Error.empty()) return TRecordClass();
  switch (kind) {
    case ik_UserCode:
      return ClassifyFlashRecord(record, {CF_UserCodeStart, CF_UserCodeEnd}, fwr_NotFirmwareFile,
                                 "No Firmware address: 0x");
    case ik_Bootloader:
      return ClassifyFlashRecord(record, {CF_BootloaderStart, CF_BootloaderEnd}, fwr_NotBootloaderFile,
                                 "No Bootloader address: 0x");
    case ik_SystemCode:
      if (Inside(record, {CF_SystemCodeStart, CF_SystemCodeEnd})) {
        TRecordClass c;
        c.Action = ra_Send;
        c.Target = record.Address;
        return c;
      }
      if (record.Address >= CF_InternalRamStart && record.Address <= CF_ProtectedRamEnd)
        return Skip("Ignore internal RAM address: 0x", record.Address);
      return Skip("No internal RAM address: 0x", record.Address);
  }
  return TRecordClass();
}

void TTransmitRange::Include(uint32_t address, size_t length) {
  if (length == 0) return;
  FminAdr = std::min(FminAdr, address);
  FmaxAdr = std::max(FmaxAdr, static_cast<uint32_t>(address + length - 1));
}

std::string FileNameWithoutDirectory(const std::string &path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsEncryptedImageName(const std::string &fileName) {
  const std::string name = FileNameWithoutDirectory(fileName);
  const size_t pos = name.find("_Blow", 1);
  return pos != std::string::npos;
}

std::string OpenErrorMessage(const std::string &fileName) {
  return "Error on opening file: " + fileName + " " + platform::SystemErrorText(platform::LastSystemError());
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
    if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
  return lines;
}

// ---------------------------------------------------------------------------
// TSRecordImage

bool TSRecordImage::OpenFile(const std::string &fileName, TImageKind kind, std::string &errorMessage) {
  Close();
  FKind = kind;
  FFile.reset(std::fopen(fileName.c_str(), "rb"));
  if (!FFile) {
    errorMessage = OpenErrorMessage(fileName);
    return false;
  }
  FBuffer.resize(64 * 1024);
  // Count the lines for the progress display, then start again. A file that
  // cannot be read (a directory, say) fails here like one that cannot be opened.
  std::string line;
  while (ReadLine(line)) ++FLineCount;
  if (FReadError) {
    errorMessage = OpenErrorMessage(fileName);
    Close();
    return false;
  }
  Restart();
  return true;
}

void TSRecordImage::OpenText(std::string text, TImageKind kind) {
  Close();
  FKind = kind;
  FBuffer = std::move(text);
  FBufferLen = FBuffer.size();
  std::string line;
  while (ReadLine(line)) ++FLineCount;
  Restart();
}

void TSRecordImage::Restart() {
  FBufferPos = 0;
  if (FFile) {
    std::rewind(FFile.get());
    FBufferLen = 0;
  }
}

void TSRecordImage::Close() {
  FFile.reset();
  FBuffer.clear();
  FBufferPos = 0;
  FBufferLen = 0;
  FLineCount = 0;
  FLineNumber = 0;
  FReadError = false;
}

// True when unread characters are in the buffer.
bool TSRecordImage::Fill() {
  if (FBufferPos < FBufferLen) return true;
  if (!FFile) return false;
  FBufferPos = 0;
  FBufferLen = std::fread(FBuffer.data(), 1, FBuffer.size(), FFile.get());
  if (FBufferLen == 0 && std::ferror(FFile.get())) FReadError = true;
  return FBufferLen > 0;
}

bool TSRecordImage::ReadLine(std::string &line) {
  line.clear();
  if (!Fill()) return false;
  while (Fill()) {
    const char *start = FBuffer.data() + FBufferPos;
    const size_t available = FBufferLen - FBufferPos;
    size_t n = 0;
    while (n < available && start[n] != '\n' && start[n] != '\r') ++n;
    if (line.size() < MaxLineLength) line.append(start, std::min(n, MaxLineLength - line.size()));
    FBufferPos += n;
    if (n == available) continue;
    // CR LF is one line end; a lone CR or LF ends the line too.
    const char end = FBuffer[FBufferPos++];
    if (end == '\r' && Fill() && FBuffer[FBufferPos] == '\n') ++FBufferPos;
    return true;
  }
  return true;  // the last line has no line end
}

bool TSRecordImage::Next(TSRecord &record, TRecordClass &cls) {
  if (!ReadLine(FLine)) return false;
  ++FLineNumber;
  ParseSRecord(FLine, record);
  cls = ClassifyRecord(record, FKind);
  return true;
}

TImageScan ScanSRecordImage(TSRecordImage &image, const TScanCallback &onRecord) {
  TImageScan scan;
  TSRecord record;
  TRecordClass cls;
  auto fail = [&](int result, const std::string &text) {
    scan.Result = result;
    scan.Error = text;
    scan.ErrorLine = image.GetLineNumber();
    return scan;
  };
  while (image.Next(record, cls)) {
    scan.Lines = image.GetLineNumber();
    if (!record.Error.empty()) return fail(fwr_FormatError, record.Error);
    if (record.Typ >= 7) {
      scan.Entry = record.Address;
      scan.HasEntry = true;
    }
    switch (cls.Action) {
      case ra_Reject: return fail(cls.Result, cls.Message);
      case ra_Skip:
        if (!record.IsData()) continue;
        ++scan.SkippedRecords;
        break;
      case ra_Send:
        ++scan.SentRecords;
        scan.SentBytes += record.Data.size();
        if (image.GetKind() != ik_SystemCode) scan.Range.Include(record.Address, record.Data.size());
        break;
    }
    if (onRecord) onRecord(record, cls);
  }
  if (image.GetReadError()) return fail(fwr_ReadError, ErrorText(fwr_ReadError));
  // Without a byte for flash the programmer would be told an inverted range.
  if (image.GetKind() != ik_SystemCode && scan.Range.IsEmpty()) {
    scan.Result = image.GetKind() == ik_Bootloader ? fwr_NotBootloaderFile : fwr_NotFirmwareFile;
    scan.Error = "No " + ImageKindToText(image.GetKind()) + " data";
  }
  return scan;
}

// ---------------------------------------------------------------------------
// TEspImage

bool TEspImage::Open(const std::string &fileName, std::string &errorMessage) {
  Close();
  FFile.reset(std::fopen(fileName.c_str(), "rb"));
  std::error_code ec;
  if (FFile && std::filesystem::is_directory(fileName, ec)) {
    FFile.reset();
    errno = EISDIR;
  }
  // The size comes from seeking, which also refuses pipes.
  if (!FFile || std::fseek(FFile.get(), 0, SEEK_END) != 0) {
    errorMessage = OpenErrorMessage(fileName);
    Close();
    return false;
  }
  const long size = std::ftell(FFile.get());
  if (size < 0 || static_cast<unsigned long>(size) > 0xFFFFFFFFul) {
    errorMessage = "Error on opening file: " + fileName + " File too large";
    Close();
    return false;
  }
  std::rewind(FFile.get());
  FSize = static_cast<uint32_t>(size);
  FCrypted = IsEncryptedImageName(fileName);
  return true;
}

std::string TEspImage::ReadHead(size_t count) {
  std::string head(count, '\0');
  if (!FFile) return {};
  std::rewind(FFile.get());
  head.resize(std::fread(head.data(), 1, count, FFile.get()));
  std::rewind(FFile.get());
  return head;
}

std::optional<TEspImageHeader> ParseEspImageHeader(std::string_view head) {
  if (head.size() < EspImageHeaderSize || static_cast<uint8_t>(head[0]) != EspImageMagic) return std::nullopt;
  TEspImageHeader h;
  h.Segments = static_cast<uint8_t>(head[1]);
  for (int i = 7; i >= 4; --i) h.Entry = h.Entry << 8 | static_cast<uint8_t>(head[static_cast<size_t>(i)]);
  return h;
}

void TEspImage::Close() {
  FFile.reset();
  FSize = 0;
  FCrypted = false;
  FReadError = false;
}

size_t TEspImage::Read(char *buffer, size_t count) {
  if (!FFile) return 0;
  const size_t n = std::fread(buffer, 1, count, FFile.get());
  if (n < count && std::ferror(FFile.get())) FReadError = true;
  return n;
}

// ---------------------------------------------------------------------------

std::string LoadResourceText(const std::string &name) {
  if (name == "SystemCode")
    return std::string(reinterpret_cast<const char *>(resources::SystemCode), resources::SystemCodeSize);
  throw std::runtime_error("Resource " + name + " not found");
}

}  // namespace zor
