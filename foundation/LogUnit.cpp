#include "foundation/LogUnit.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <type_traits>
#include <typeinfo>

#include "foundation/TimeUtils.h"

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define ZOR_HAVE_DEMANGLE 1
#endif
#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define ZOR_HAVE_BACKTRACE 1
#endif

namespace zor {

namespace fs = std::filesystem;

namespace {

const std::string CRLF = "\r\n";
const std::string Stars(57, '*');

template <typename... A>
std::string Fmt(const char *format, A... args) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

std::string TimeOfDayText(const platform::TZor_LocalTime &t) {
  return Fmt("%02d:%02d:%02d.%03d", t.Hour, t.Minute, t.Second, t.Millisecond);
}

// Date and time for the opening, closing and limit lines.
std::string DateTimeText() {
  const auto t = platform::LocalNow();
  return Fmt("%04d-%02d-%02d %02d:%02d:%02d", t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second);
}

std::string BoolText(bool value) { return value ? "True" : "False"; }

bool FileExists(const std::string &name) {
  std::error_code ec;
  return !name.empty() && fs::exists(fs::path(name), ec);
}

bool RemoveFile(const std::string &name) {
  std::error_code ec;
  return fs::remove(fs::path(name), ec) && !ec;
}

bool CreateEmptyFile(const std::string &name) {
  std::ofstream f(name, std::ios::binary | std::ios::trunc);
  return f.good();
}

// Inserts `suffix` before the extension of `name` (the extension of the file
// part only, so dots in directory names do not count).
std::string WithSuffix(const std::string &name, const std::string &suffix) {
  const auto slash = name.find_last_of("/\\");
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

}  // namespace

std::string LogLimitTypeToText(TLogLimitType kind) {
  switch (kind) {
    case logUnlimited: return "logUnlimited";
    case logOverwrite: return "logOverwrite";
    case logCreateNew: return "logCreateNew";
  }
  return std::to_string(static_cast<int>(kind));
}

std::string ExceptionClassName(const std::exception &e) {
  const char *raw = typeid(e).name();
#ifdef ZOR_HAVE_DEMANGLE
  int status = 0;
  char *demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
  if (demangled) {
    std::string name = status == 0 ? demangled : raw;
    std::free(demangled);
    return name;
  }
#endif
  return raw;
}

std::string CurrentStackTrace() {
  std::string trace;
#ifdef ZOR_HAVE_BACKTRACE
  void *frames[64];
  const int count = ::backtrace(frames, 64);
  char **symbols = ::backtrace_symbols(frames, count);
  if (!symbols) return trace;
  for (int i = 0; i < count; ++i) {
    if (i > 0) trace += CRLF;
    trace += symbols[i];
  }
  std::free(symbols);
#endif
  return trace;
}

// ---------------------------------------------------------------- TLogger

TLogger::TLogger() : FSavedArray(LogDefaultSavedLimit) {}

TLogger::~TLogger() {
  LogIt("TLogger.Destroy(" + std::to_string(Fid) + ")");
  SetLogFileName("");
}

std::string TLogger::FormatLine(const std::string &text, bool lineBreak) {
  std::string line(22 + text.size() + (lineBreak ? 2 : 0), ' ');
  const auto now = platform::LocalNow();
  if (!(now == FLastTime)) line.replace(0, 12, TimeOfDayText(now));
  FLastTime = now;
  const uint32_t thread = platform::CurrentThreadId();
  if (thread != FLastThreadId) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", thread);
    line.replace(13, 8, hex);
  }
  FLastThreadId = thread;
  line.replace(22, text.size(), text);
  if (lineBreak) line.replace(22 + text.size(), 2, CRLF);
  FCheckSize = lineBreak;
  return line;
}

// Bytes are written unchanged. A failed write ends file logging quietly:
// logging must never break the caller.
void TLogger::WriteText(const std::string &text) {
  if (!FLogFile) return;
  if (std::fwrite(text.data(), 1, text.size(), FLogFile.get()) != text.size() ||
      std::fflush(FLogFile.get()) != 0) {
    FLogFile.reset();
    return;
  }
  FisEmpty = false;
  if (FCheckSize) CheckLimits();
}

// One complete line into the open file, ending a pending appended line first.
void TLogger::WriteLogLine(const std::string &text) {
  if (!FNewLined) WriteText(CRLF);
  WriteLine(text);
  FNewLined = true;
}

void TLogger::LogIt(const std::string &text) {
  std::lock_guard lock(FLockObj);
  if (FLogFile)
    WriteLogLine(text);
  else if (FSaveEnabled)
    SaveLine(FormatLine(text, false));
}

void TLogger::LogError(const std::string &text) {
  std::lock_guard lock(FLockObj);
  // Flag first: if this line triggers a rotation, the file holding it is the
  // one that must count as having an error.
  if (FLogFile) FErrorOccurred = true;
  LogIt("ERROR: " + text);
}

// The open-file test is made under the lock: another thread may be closing.
void TLogger::LogAppend(const std::string &text) {
  std::lock_guard lock(FLockObj);
  if (!FLogFile) return;
  WriteText(FNewLined ? FormatLine(text, false) : text);
  FNewLined = false;
}

void TLogger::LogNewLine() {
  std::lock_guard lock(FLockObj);
  if (!FLogFile || FNewLined) return;
  WriteText(CRLF);
  FNewLined = true;
}

void TLogger::LogException(const std::string &text, const std::exception &e) {
  std::lock_guard lock(FLockObj);
  LogError(text);
  LogIt("EXCEP: " + ExceptionClassName(e) + " " + e.what());
  LogIt("STACK: " + CurrentStackTrace());
  if (!FLogFile && FSaveEnabled) WriteSavedLines();
}

void TLogger::SaveLine(const std::string &line) {
  FSavedArray[FSaveIndex] = line;
  if (++FSaveIndex >= FSavedLimit) {
    FSaveIndex = 0;
    FSaveFull = true;
  }
}

// Dumps the in-memory lines, oldest first, into a new exception file.
void TLogger::WriteSavedLines() {
  const auto now = platform::LocalNow();
  const std::string name = FSavePath + "ExceptionLog_" + std::to_string(Fid) + "_" + ArchiveTimeText(now) +
                           Fmt(".%03d", now.Millisecond) + ".txt";
  std::ofstream f(name, std::ios::binary | std::ios::trunc);
  auto writeSlots = [&](int32_t from, int32_t to) {
    for (int32_t i = from; i < to; ++i) f << FSavedArray[i] << CRLF;
  };
  if (FSaveFull) writeSlots(FSaveIndex, FSavedLimit);
  writeSlots(0, FSaveIndex);
}

void TLogger::SetLimit(TLogLimitType kind, uint32_t size) {
  std::lock_guard lock(FLockObj);
  if (kind == logUnlimited)
    size = 0;
  else if (size == 0)
    size = LogDefaultSizeLimit;
  if (kind != FLogLimitType || size != FLogSizeLimit) FLogLimitsChanged = true;
  FLogLimitType = kind;
  FLogSizeLimit = size;
}

TLogLimitType TLogger::GetLogLimitType() {
  std::lock_guard lock(FLockObj);
  return FLogLimitType;
}

uint32_t TLogger::GetLogSizeLimit() {
  std::lock_guard lock(FLockObj);
  return FLogSizeLimit;
}

std::string TLogger::GetErrorMsg() {
  std::lock_guard lock(FLockObj);
  return FErrorMsg;
}

bool TLogger::GetErrorLog() {
  std::lock_guard lock(FLockObj);
  return FErrorLog;
}

void TLogger::SetErrorLog(bool value) {
  std::lock_guard lock(FLockObj);
  FErrorLog = value;
}

std::vector<std::string> TLogger::GetHeaderLines() {
  std::lock_guard lock(FLockObj);
  return FHeaderLines;
}

void TLogger::SetHeaderLines(std::vector<std::string> lines) {
  std::lock_guard lock(FLockObj);
  FHeaderLines = std::move(lines);
}

bool TLogger::GetLogEnabled() {
  std::lock_guard lock(FLockObj);
  return FLogFile != nullptr;
}

std::string TLogger::GetLogFileName() {
  std::lock_guard lock(FLockObj);
  return FLogFileName;
}

std::string TLogger::GetInternLogFileName() {
  std::lock_guard lock(FLockObj);
  return FInternLogFileName;
}

bool TLogger::GetSaveEnabled() {
  std::lock_guard lock(FLockObj);
  return FSaveEnabled;
}

void TLogger::SetSaveEnabled(bool value) {
  std::lock_guard lock(FLockObj);
  FSaveEnabled = value;
}

int32_t TLogger::GetSavedLimit() {
  std::lock_guard lock(FLockObj);
  return FSavedLimit;
}

// The ring is resized with the limit so the index can never leave it.
void TLogger::SetSavedLimit(int32_t value) {
  std::lock_guard lock(FLockObj);
  if (value < 1) value = 1;
  if (value == FSavedLimit) return;
  FSavedLimit = value;
  FSavedArray.assign(static_cast<size_t>(value), std::string());
  FSaveIndex = 0;
  FSaveFull = false;
}

std::string TLogger::GetSavePath() {
  std::lock_guard lock(FLockObj);
  return FSavePath;
}

void TLogger::SetSavePath(const std::string &path) {
  std::string dir = path;
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  std::lock_guard lock(FLockObj);
  if (dir.empty()) {
    FSavePath.clear();  // the working directory
    return;
  }
  std::error_code ec;
  fs::create_directories(fs::path(dir), ec);
  FSavePath = dir == "/" ? dir : dir + "/";
}

std::string TLogger::MakeFileName(const std::string &name) {
  // In error-log mode an unlimited log also rotates by time; it needs fresh
  // names too, or the next file would overwrite the one holding the error.
  const bool stamped = FLogLimitType == logCreateNew || (FErrorLog && FLogLimitType == logUnlimited);
  if (!stamped) return name;
  const std::string base = WithSuffix(name, "_" + ArchiveTimeText(platform::LocalNow()));
  // Two files started within one second must not share a name.
  std::string result = base;
  for (int n = 1; FileExists(result) || result == FInternLogFileName || result == FPreviousFilename; ++n)
    result = WithSuffix(base, "_" + std::to_string(n));
  return result;
}

void TLogger::ResetColumns() {
  FLastThreadId = 0;
  FLastTime = {};
}

bool TLogger::OpenLogFile() {
  if (FLogFileName.empty()) return true;
  FErrorMsg.clear();
  FInternLogFileName = MakeFileName(FLogFileName);
  const std::string name = FInternLogFileName;
  // Proves the file can be created and removed again before logging into it.
  bool ok = true;
  if (!FileExists(name)) ok = CreateEmptyFile(name) && RemoveFile(name) && CreateEmptyFile(name);
  if (ok) FLogFile.reset(std::fopen(name.c_str(), "wb"));
  if (ok && FLogFile) {
    FErrorOccurred = false;
    FOpenTicks = platform::GetTicks();
    // The opening lines never trigger a limit check.
    const bool dontCheck = FDontCheckSize;
    FDontCheckSize = true;
    WriteLine(DateTimeText() + " Log file opened: " + name);
    WriteLine("ID=" + std::to_string(Fid) + ", SizeLimit=" + std::to_string(FLogSizeLimit) +
              ", Type=" + LogLimitTypeToText(FLogLimitType) + ", errorLog=" + BoolText(FErrorLog));
    for (const auto &line : FHeaderLines) WriteLine(line);
    FDontCheckSize = dontCheck;
    FisEmpty = true;
  }
  if (FLogFile) return true;
  FErrorMsg = "Logfile not created: " + name;
  FLogFileName.clear();
  FInternLogFileName.clear();
  return false;
}

void TLogger::CloseLogFile() {
  if (!FLogFile) return;
  // Closing lines never trigger a limit check (a rotation here would re-enter).
  const bool dontCheck = FDontCheckSize;
  FDontCheckSize = true;
  if (FLogLimitType == logOverwrite) {
    FCheckSize = false;
    WriteText(CRLF + Stars + CRLF + Stars + CRLF);
    WriteLine("Log file closed, " + DateTimeText());
    WriteText(Stars + CRLF + Stars + CRLF);
  } else {
    WriteLine("Log file closed, " + DateTimeText());
  }
  FDontCheckSize = dontCheck;
  FLogFile.reset();
  ResetColumns();
}

bool TLogger::DeleteLogFile(std::string &name) {
  if (!FileExists(name) || !RemoveFile(name)) return false;
  name.clear();
  return true;
}

void TLogger::SetLogFileName(const std::string &fileName) {
  std::lock_guard lock(FLockObj);
  if (fileName == FLogFileName && !FLogLimitsChanged) return;
  const bool wasEmpty = FLogFile && FisEmpty;
  CloseLogFile();
  FLogFileName = fileName;
  if (OpenLogFile()) FLogLimitsChanged = false;
  if (!fileName.empty()) return;
  if (FErrorLog && !FPreviousErrorOccurred) DeleteLogFile(FPreviousFilename);
  if (FErrorLog && !FErrorOccurred) DeleteLogFile(FInternLogFileName);
  if (wasEmpty) DeleteLogFile(FInternLogFileName);
}

void TLogger::CheckLimits() {
  if (FDontCheckSize || !FLogFile) return;
  FDontCheckSize = true;
  const bool timeReached =
      FErrorLog && FLogLimitType != logOverwrite && platform::TicksSince(FOpenTicks) > LogTimeLimitMs;
  const long pos = std::ftell(FLogFile.get());
  const bool sizeReached =
      FLogLimitType != logUnlimited && pos >= 0 && static_cast<uint64_t>(pos) >= FLogSizeLimit;
  if (sizeReached) {
    WriteLine("LogSizeLimit (" + std::to_string(FLogSizeLimit) + ") reached " + DateTimeText());
  } else if (timeReached) {
    WriteLine("LogTimeLimit (half an hour) reached " + DateTimeText());
  }
  if (FLogFile && (sizeReached || timeReached)) {
    if (FLogLimitType == logOverwrite) {
      std::error_code ec;
      fs::resize_file(fs::path(FInternLogFileName), static_cast<uintmax_t>(std::ftell(FLogFile.get())), ec);
      std::fseek(FLogFile.get(), 0, SEEK_SET);
      ResetColumns();
      WriteLine("Log file overwritten: " + FInternLogFileName + ", " + DateTimeText());
    } else {
      RotateFile(timeReached);
    }
  }
  FDontCheckSize = false;
}

void TLogger::RotateFile(bool timeReached) {
  const std::string base = FLogFileName;
  WriteLine("Continue in next Log file: " + MakeFileName(base));
  if (timeReached) {
    if (!FPreviousFilename.empty()) {
      if (FErrorOccurred || FPreviousErrorOccurred) {
        WriteLine("keep Previous logfile: " + FPreviousFilename + " ErrorOccurred: actual=" +
                  BoolText(FErrorOccurred) + " Previous=" + BoolText(FPreviousErrorOccurred));
      } else {
        const std::string previous = FPreviousFilename;
        WriteLine((DeleteLogFile(FPreviousFilename) ? "Previous logfile deleted: "
                                                    : "Previous logfile delete failed: ") +
                  previous);
      }
    }
    FPreviousFilename = FInternLogFileName;
    FPreviousErrorOccurred = FErrorOccurred;
  }
  SetLogFileName("");
  ResetColumns();
  SetLogFileName(base);
}

// ---------------------------------------------------------------- registry

namespace {

bool GRegistryGone = false;  // trivially destructible: still readable after teardown

struct TLogRegistry {
  std::recursive_mutex Lock;
  std::vector<std::unique_ptr<TLogger>> Loggers;

  ~TLogRegistry() {
    std::lock_guard lock(Lock);
    if (!Loggers.empty()) Loggers[0]->LogIt("LogUnit.finalization");
    Loggers.clear();
    GRegistryGone = true;
  }
};

TLogRegistry &Registry() {
  static TLogRegistry registry;
  return registry;
}

// Runs `action` on the logger `id` under the registry lock; an unknown id (or
// a call after the registry is gone) gives the empty result.
template <typename F, typename R = std::invoke_result_t<F, TLogger &>>
R WithLogger(int id, F action) {
  if (GRegistryGone || id < 0) return R();
  auto &reg = Registry();
  std::lock_guard lock(reg.Lock);
  if (static_cast<size_t>(id) >= reg.Loggers.size()) return R();
  return action(*reg.Loggers[static_cast<size_t>(id)]);
}

}  // namespace

int CreateLog() {
  if (GRegistryGone) return -1;
  auto &reg = Registry();
  std::lock_guard lock(reg.Lock);
  reg.Loggers.push_back(std::make_unique<TLogger>());
  const int id = static_cast<int>(reg.Loggers.size()) - 1;
  reg.Loggers.back()->SetId(id);
  return id;
}

void LogText(int id, const std::string &text) {
  WithLogger(id, [&](TLogger &l) { l.LogIt(text); });
}

void LogWarn(int id, const std::string &text) {
  WithLogger(id, [&](TLogger &l) { l.LogIt("WARN:  " + text); });
}

void LogErr(int id, const std::string &text) {
  WithLogger(id, [&](TLogger &l) { l.LogError(text); });
}

void LogExcept(int id, const std::string &text, const std::exception &e) {
  WithLogger(id, [&](TLogger &l) { l.LogException(text, e); });
}

void LogAppendText(int id, const std::string &text) {
  WithLogger(id, [&](TLogger &l) { l.LogAppend(text); });
}

void LogNewLineId(int id) {
  WithLogger(id, [](TLogger &l) { l.LogNewLine(); });
}

bool IsLogEnabled(int id) {
  return WithLogger(id, [](TLogger &l) { return l.GetLogEnabled(); });
}

std::string GetLogFileName(int id) {
  return WithLogger(id, [](TLogger &l) { return l.GetInternLogFileName(); });
}

bool SetLogFile(int id, const std::string &fileName, bool errorLog) {
  return WithLogger(id, [&](TLogger &l) {
    if (!fileName.empty()) l.SetErrorLog(errorLog);
    l.SetLogFileName(fileName);
    return fileName.empty() || l.GetLogEnabled();
  });
}

std::string GetLogErrorMsg(int id) {
  return WithLogger(id, [](TLogger &l) { return l.GetErrorMsg(); });
}

std::vector<std::string> GetLogHeaderLines(int id) {
  return WithLogger(id, [](TLogger &l) { return l.GetHeaderLines(); });
}

void SetLogHeaderLines(int id, std::vector<std::string> lines) {
  WithLogger(id, [&](TLogger &l) { l.SetHeaderLines(std::move(lines)); });
}

void SetLogLimit(int id, TLogLimitType kind, uint32_t size) {
  WithLogger(id, [&](TLogger &l) { l.SetLimit(kind, size); });
}

void SetLogSaveEnabled(int id, bool value) {
  WithLogger(id, [&](TLogger &l) { l.SetSaveEnabled(value); });
}

void SetLogSavePath(int id, const std::string &path) {
  WithLogger(id, [&](TLogger &l) { l.SetSavePath(path); });
}

}  // namespace zor
