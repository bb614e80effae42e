// Firmware images: the Motorola S-record decoder, the rules that decide per
// record whether it is sent to a ColdFire device, skipped or rejects the file,
// streamed reading of S-record files and ESP images, and the embedded system
// code. No device I/O happens here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zor {

// One decoded S-record line.
struct TSRecord {
  uint8_t Typ = 0;       // record type digit 0..9
  uint8_t Count = 0;     // byte-count field as written (address, data and checksum bytes)
  uint32_t Address = 0;  // address field
  std::string Data;      // data bytes, one character per byte; only for types 1..3
  uint8_t CheckSum = 0;  // stored, not verified
  std::string Error;     // empty when the line decoded

  void Clear();
  bool IsData() const { return Typ >= 1 && Typ <= 3; }
};

// `text` read as a hexadecimal number of 1 to 8 digits. Throws
// std::invalid_argument with the text "'$<text>' is not a valid integer value"
// otherwise.
uint32_t HexToInt(std::string_view text);

// "S" followed by one of 0, 1, 2, 3, 5, 7, 8, 9.
bool IsSRecord(std::string_view line);

// Decodes one line; never throws. Returns true when `record.Error` is empty.
// Characters after the checksum are ignored.
bool ParseSRecord(std::string_view line, TSRecord &record);

// The three kinds of S-record image a ColdFire device receives.
enum TImageKind : uint8_t { ik_UserCode = 0, ik_Bootloader, ik_SystemCode };

// "user code", "bootloader code", "system code" (the words of the progress messages).
std::string ImageKindToText(TImageKind kind);

enum TRecordAction : uint8_t { ra_Send = 0, ra_Skip, ra_Reject };

struct TRecordClass {
  TRecordAction Action = ra_Skip;
  uint32_t Target = 0;  // device address the data go to (ra_Send)
  int Result = 0;       // -14 or -15 for ra_Reject, else 0
  // Reject: the informational message shown before the file is refused.
  // Skip: the message shown only when excluded addresses are reported; empty
  // for records without data.
  std::string Message;
};

// Decides what happens to a decoded record in an image of `kind`. Pure.
TRecordClass ClassifyRecord(const TSRecord &record, TImageKind kind);

// Lowest and highest flash byte address sent of the current image: the range
// the system code is told to copy.
struct TTransmitRange {
  uint32_t FminAdr = 0xFFFFFFFF;
  uint32_t FmaxAdr = 0;

  void Reset() { *this = TTransmitRange(); }
  // Records without data bytes do not count: they would move FmaxAdr below
  // their own address (to 0xFFFFFFFF at address 0).
  void Include(uint32_t address, size_t length);
  bool IsEmpty() const { return FminAdr > FmaxAdr; }
};

// Name of a file without its directory (either kind of separator).
std::string FileNameWithoutDirectory(const std::string &path);

// An ESP image is encrypted when its name, without the directory, contains
// "_Blow" after its first character.
bool IsEncryptedImageName(const std::string &fileName);

// "Error on opening file: " + file name + " " + the system's error text of
// the last failed call on this thread.
std::string OpenErrorMessage(const std::string &fileName);

// Lines of a text; CR LF, LF and CR each end a line, a final line break adds
// no empty line.
std::vector<std::string> SplitLines(std::string_view text);

struct TFileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};
using TFilePtr = std::unique_ptr<std::FILE, TFileCloser>;

// Reads S-record lines one at a time from a file or from a text (the embedded
// system code), decoding and classifying each: the image is never held whole.
class TSRecordImage {
 public:
  // Opens a file and counts its lines. On failure `errorMessage` is
  // OpenErrorMessage(fileName) and the result -1 applies.
  bool OpenFile(const std::string &fileName, TImageKind kind, std::string &errorMessage);
  void OpenText(std::string text, TImageKind kind);
  void Close();

  uint32_t GetLineCount() const { return FLineCount; }
  // 1-based number of the line last read.
  uint32_t GetLineNumber() const { return FLineNumber; }
  TImageKind GetKind() const { return FKind; }
  // True when reading the file failed before its end (reported as a format error).
  bool GetReadError() const { return FReadError; }

  // Decodes and classifies the next line; false at the end of the image.
  // A line that does not decode has a non-empty `record.Error` and is skipped
  // in `cls`.
  bool Next(TSRecord &record, TRecordClass &cls);

  // Longest prefix of a line kept; the longest record ends well before it,
  // so dropping the rest never changes a decoded record.
  static constexpr size_t MaxLineLength = 1024;

 private:
  bool ReadLine(std::string &line);
  bool Fill();
  void Restart();

  TFilePtr FFile;
  // A file is read through this buffer in blocks; a text is the buffer itself.
  std::string FBuffer;
  size_t FBufferPos = 0;
  size_t FBufferLen = 0;
  TImageKind FKind = ik_UserCode;
  uint32_t FLineCount = 0;
  uint32_t FLineNumber = 0;
  bool FReadError = false;
  std::string FLine;
};

// What a transmission of an S-record image would do, without a device.
struct TImageScan {
  int Result = 0;          // 0, -4 (bad line), -5 (file read fault), -14/-15 (rejected record, no data)
  std::string Error;       // first error: the line's error text or the rejection message
  uint32_t ErrorLine = 0;  // 1-based line of the error
  uint32_t Lines = 0;      // lines read
  uint32_t SentRecords = 0;
  uint32_t SkippedRecords = 0;  // data records outside the image's window that are not sent
  uint64_t SentBytes = 0;
  TTransmitRange Range;  // flash range; empty for system code
  uint32_t Entry = 0;    // address of the last S7/S8/S9 record
  bool HasEntry = false;
};

// Reads the image to its end or its first error. A flash image without any
// data in its window fails with -15 or -14 and "No user code data" or
// "No bootloader code data". `onRecord` sees every data
// record that is sent or skipped, with its classification.
using TScanCallback = std::function<void(const TSRecord &, const TRecordClass &)>;
TImageScan ScanSRecordImage(TSRecordImage &image, const TScanCallback &onRecord = {});

// Opens an ESP image read-only for streaming; its size is the amount to send.
class TEspImage {
 public:
  // On failure `errorMessage` is OpenErrorMessage(fileName); images of 4 GiB
  // or more are refused because their size does not fit the start command.
  bool Open(const std::string &fileName, std::string &errorMessage);
  void Close();
  bool IsOpen() const { return FFile != nullptr; }

  uint32_t GetSize() const { return FSize; }
  bool GetCrypted() const { return FCrypted; }
  // Reads the next piece of up to `count` bytes; 0 at the end or on a read
  // fault (see GetReadError).
  size_t Read(char *buffer, size_t count);
  // The first `count` bytes (fewer for a shorter file); the next Read starts
  // at the beginning again.
  std::string ReadHead(size_t count);
  bool GetReadError() const { return FReadError; }

 private:
  TFilePtr FFile;
  uint32_t FSize = 0;
  bool FCrypted = false;
  bool FReadError = false;
};

// What the header of a plain ESP image tells: the image magic 0xE9, the
// segment count, flash mode and size bytes, the entry address (little-endian).
inline constexpr uint8_t EspImageMagic = 0xE9;
inline constexpr size_t EspImageHeaderSize = 8;
struct TEspImageHeader {
  uint8_t Segments = 0;
  uint32_t Entry = 0;
};
// Nothing when `head` is shorter than the header or lacks the magic.
std::optional<TEspImageHeader> ParseEspImageHeader(std::string_view head);

// The whole embedded raw-data resource `name`, one character per byte.
// Throws std::runtime_error "Resource <name> not found" for an unknown name.
std::string LoadResourceText(const std::string &name);

}  // namespace zor
