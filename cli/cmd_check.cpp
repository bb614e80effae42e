// zorfw check FILE: decodes and classifies a firmware file the way an update
// would, without a device.
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "device/Zor_ColdfireAddresses.h"
#include "firmware/SRecord.h"
#include "firmware/Uploader_Common.h"
#include "foundation/Zor_Utils.h"

namespace zor::cli {

namespace {

struct TCheckOptions {
  std::string FileName;
  std::string Kind = "auto";
  bool Json = false;
  bool ReportExcluded = false;
};

struct TCheckResult {
  std::string Kind;  // "user code", "bootloader code", "esp image"
  int Result = 0;
  std::string Error;
  uint32_t ErrorLine = 0;
  bool IsEsp = false;
  bool Opened = false;
  bool Encrypted = false;
  std::optional<TEspImageHeader> EspHeader;  // plain ESP images only
  uint64_t Bytes = 0;
  TImageScan Scan;
  std::vector<std::string> Excluded;
};

std::string Hex(uint64_t value, int digits) { return "0x" + IntToHex(value, digits); }

bool EndsWithBin(const std::string &name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".bin";
}

// A ColdFire image is a boot loader when its first flash record lies in the
// boot-loader window. Unreadable files count as user code; the real scan
// reports their error.
TImageKind DetectSRecordKind(const std::string &fileName) {
  TSRecordImage image;
  std::string error;
  if (!image.OpenFile(fileName, ik_UserCode, error)) return ik_UserCode;
  TSRecord record;
  TRecordClass cls;
  while (image.Next(record, cls)) {
    if (!record.Error.empty()) break;
    if (record.IsData() && record.Address < CF_FlashSpaceLimit)
      return record.Address <= CF_BootloaderEnd ? ik_Bootloader : ik_UserCode;
  }
  return ik_UserCode;
}

void CheckEsp(const std::string &fileName, TCheckResult &r) {
  r.Kind = "esp image";
  r.IsEsp = true;
  TEspImage image;
  if (!image.Open(fileName, r.Error)) {
    r.Result = fwr_FileNotFound;
    return;
  }
  r.Opened = true;
  r.Bytes = image.GetSize();
  r.Encrypted = image.GetCrypted();
  // An encrypted image is opened by the device only; its header cannot be read here.
  if (r.Encrypted) return;
  const std::string head = image.ReadHead(EspImageHeaderSize);
  r.EspHeader = ParseEspImageHeader(head);
  // As the update refuses it: the first byte decides.
  if (head.empty() || static_cast<uint8_t>(head[0]) != EspImageMagic) {
    r.Result = fwr_NotEspImage;
    r.Error = "the first byte is not the ESP image magic 0x" + IntToHex(EspImageMagic, 2);
  }
}

void CheckSRecords(const TCheckOptions &o, TCheckResult &r) {
  TImageKind kind = ik_UserCode;
  if (o.Kind == "bootloader" || (o.Kind == "auto" && DetectSRecordKind(o.FileName) == ik_Bootloader))
    kind = ik_Bootloader;
  r.Kind = ImageKindToText(kind);
  TSRecordImage image;
  if (!image.OpenFile(o.FileName, kind, r.Error)) {
    r.Result = fwr_FileNotFound;
    return;
  }
  r.Opened = true;
  r.Scan = ScanSRecordImage(image, [&](const TSRecord &, const TRecordClass &cls) {
    if (o.ReportExcluded && cls.Action == ra_Skip) r.Excluded.push_back(cls.Message);
  });
  r.Result = r.Scan.Result;
  r.Error = r.Scan.Error;
  r.ErrorLine = r.Scan.ErrorLine;
  r.Bytes = r.Scan.SentBytes;
}

void PrintHuman(const TCheckOptions &o, const TCheckResult &r) {
  std::cout << o.FileName << ": " << (r.IsEsp ? "ESP image" : "ColdFire " + r.Kind);
  if (r.IsEsp) std::cout << (r.Encrypted ? ", encrypted" : ", not encrypted");
  std::cout << "\n";
  if (r.IsEsp && r.Encrypted)
    std::cout << "  header:        encrypted, checked by the device only\n";
  if (r.EspHeader)
    std::cout << "  segments:      " << int(r.EspHeader->Segments) << "\n"
              << "  entry:         " << Hex(r.EspHeader->Entry, 8) << "\n";
  if (r.Opened && !r.IsEsp) {
    const TImageScan &s = r.Scan;
    std::cout << "  lines:         " << s.Lines << " (" << s.SentRecords << " records sent, "
              << s.SkippedRecords << " skipped)\n";
    if (!s.Range.IsEmpty())
      std::cout << "  address range: " << Hex(s.Range.FminAdr, 8) << ".." << Hex(s.Range.FmaxAdr, 8)
                << ", staged at " << Hex(s.Range.FminAdr | CF_StagingFlag, 8) << ".."
                << Hex(s.Range.FmaxAdr | CF_StagingFlag, 8) << "\n";
    if (s.HasEntry) std::cout << "  entry:         " << Hex(s.Entry, 8) << "\n";
    for (const std::string &m : r.Excluded) std::cout << "  " << m << "\n";
  }
  if (r.Opened) std::cout << "  size:          " << r.Bytes << " bytes (" << Hex(r.Bytes, 6) << ")\n";
  if (!r.Error.empty()) {
    std::cout << "  error:         ";
    if (r.ErrorLine > 0) std::cout << "line " << r.ErrorLine << ": ";
    std::cout << r.Error << "\n";
  }
  std::cout << "  result:        " << r.Result << " " << ErrorText(r.Result) << "\n";
}

void PrintJson(const TCheckOptions &o, const TCheckResult &r) {
  nlohmann::json j;
  j["file"] = o.FileName;
  j["kind"] = r.Kind;
  j["bytes"] = r.Bytes;
  j["result"] = r.Result;
  j["result_text"] = ErrorText(r.Result);
  j["error"] = r.Error.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.Error);
  if (r.IsEsp) {
    j["encrypted"] = r.Encrypted;
    j["segments"] = r.EspHeader ? nlohmann::json(r.EspHeader->Segments) : nlohmann::json(nullptr);
    j["entry"] = r.EspHeader ? nlohmann::json(r.EspHeader->Entry) : nlohmann::json(nullptr);
  } else {
    const TImageScan &s = r.Scan;
    j["lines"] = s.Lines;
    j["records_sent"] = s.SentRecords;
    j["records_skipped"] = s.SkippedRecords;
    j["error_line"] = r.ErrorLine;
    j["min_address"] = s.Range.IsEmpty() ? nlohmann::json(nullptr) : nlohmann::json(s.Range.FminAdr);
    j["max_address"] = s.Range.IsEmpty() ? nlohmann::json(nullptr) : nlohmann::json(s.Range.FmaxAdr);
    j["entry"] = s.HasEntry ? nlohmann::json(s.Entry) : nlohmann::json(nullptr);
    if (o.ReportExcluded) j["excluded"] = r.Excluded;
  }
  // Error texts quote the offending line, which may hold any bytes.
  std::cout << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

int RunCheck(const TCheckOptions &o) {
  TCheckResult r;
  const bool esp = o.Kind == "esp" || (o.Kind == "auto" && EndsWithBin(o.FileName));
  if (esp)
    CheckEsp(o.FileName, r);
  else
    CheckSRecords(o, r);
  if (o.Json)
    PrintJson(o, r);
  else
    PrintHuman(o, r);
  return ExitCodeFromResult(r.Result);
}

}  // namespace

void AddCheckCommand(CLI::App &app, int &exitCode) {
  auto options = std::make_shared<TCheckOptions>();
  CLI::App *cmd = app.add_subcommand(
      "check",
      "Decode and classify a firmware file without a device: kind, address range, size, first error");
  cmd->add_option("file", options->FileName, "Firmware file (.s19 ColdFire image or .bin ESP image)")
      ->required();
  cmd->add_option("--kind", options->Kind,
                  "Kind of image; auto: .bin is an ESP image, an S-record file is a "
                  "boot loader when its first flash record is below 0x4000")
      ->check(CLI::IsMember({"auto", "user", "bootloader", "esp"}));
  cmd->add_flag("--json", options->Json, "Machine-readable output");
  cmd->add_flag("--report-excluded", options->ReportExcluded,
                "List the records outside flash that are skipped");
  cmd->callback([options, &exitCode] { exitCode = RunCheck(*options); });
}

}  // namespace zor::cli
