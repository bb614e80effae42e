// Debug logging: TLogger writes one log file with size and time limits, and a
// registry addresses loggers by a small integer, the log id. Objects receive a
// log id when they are created and log only through it; an id whose logger has
// no open file costs nothing but a lock, an unknown id is ignored.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Zor_Sys.h"

namespace zor {

enum TLogLimitType : uint8_t { logUnlimited = 0, logOverwrite, logCreateNew };

// "logUnlimited" ...; any other value as its decimal number.
std::string LogLimitTypeToText(TLogLimitType kind);

// Size limit used when a limited kind is given a size of 0 (20 MiB).
constexpr uint32_t LogDefaultSizeLimit = 20971520;
// Error-log mode starts a new file after this long (half an hour).
constexpr uint32_t LogTimeLimitMs = 30 * 60 * 1000;
// Lines kept in memory while no file is open.
constexpr int32_t LogDefaultSavedLimit = 1000;

class TLogger {
 public:
  TLogger();
  ~TLogger();
  TLogger(const TLogger &) = delete;
  TLogger &operator=(const TLogger &) = delete;

  void LogIt(const std::string &text);
  void LogError(const std::string &text);
  void LogAppend(const std::string &text);
  void LogNewLine();
  // Error line, exception class and message, stack trace; then the in-memory
  // lines go to an exception file if no log file is open.
  void LogException(const std::string &text, const std::exception &e);

  // Takes effect when the file is next opened or checked.
  void SetLimit(TLogLimitType kind, uint32_t size);
  TLogLimitType GetLogLimitType();
  uint32_t GetLogSizeLimit();

  int32_t GetId() const { return Fid; }
  void SetId(int32_t id) { Fid = id; }
  std::string GetErrorMsg();
  bool GetErrorLog();
  void SetErrorLog(bool value);
  std::vector<std::string> GetHeaderLines();
  void SetHeaderLines(std::vector<std::string> lines);
  bool GetLogEnabled();
  std::string GetLogFileName();
  // Opens, switches or (with an empty name) closes the file.
  void SetLogFileName(const std::string &fileName);
  // The file actually written (time-stamped for logCreateNew).
  std::string GetInternLogFileName();
  bool GetSaveEnabled();
  void SetSaveEnabled(bool value);
  int32_t GetSavedLimit();
  void SetSavedLimit(int32_t value);
  std::string GetSavePath();
  // Creates the directory if needed; stored with a trailing delimiter.
  void SetSavePath(const std::string &path);

 private:
  struct TFileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
  };

  std::string FormatLine(const std::string &text, bool lineBreak);
  void WriteText(const std::string &text);
  void WriteLine(const std::string &text) { WriteText(FormatLine(text, true)); }
  void WriteLogLine(const std::string &text);
  void SaveLine(const std::string &line);
  std::string MakeFileName(const std::string &name);
  bool OpenLogFile();
  void CloseLogFile();
  void ResetColumns();
  void CheckLimits();
  void RotateFile(bool timeReached);
  bool DeleteLogFile(std::string &name);
  void WriteSavedLines();

  int32_t Fid = -1;
  bool FCheckSize = false;
  bool FDontCheckSize = false;
  std::unique_ptr<std::FILE, TFileCloser> FLogFile;
  std::string FLogFileName;
  std::string FInternLogFileName;
  bool FisEmpty = true;
  uint32_t FLastThreadId = 0;
  platform::TZor_LocalTime FLastTime;
  bool FNewLined = false;
  std::recursive_mutex FLockObj;
  uint32_t FOpenTicks = 0;  // for elapsed time only
  bool FErrorLog = false;
  std::string FErrorMsg;
  bool FErrorOccurred = false;
  std::string FPreviousFilename;
  bool FPreviousErrorOccurred = false;
  std::vector<std::string> FHeaderLines;
  uint32_t FLogSizeLimit = 0;
  TLogLimitType FLogLimitType = logUnlimited;
  bool FLogLimitsChanged = false;
  std::vector<std::string> FSavedArray;
  int32_t FSaveIndex = 0;
  bool FSaveFull = false;
  int32_t FSavedLimit = LogDefaultSavedLimit;
  bool FSaveEnabled = false;
  std::string FSavePath;
};

// Registry. Every function takes the registry lock and then the logger's own;
// a negative or unregistered id does nothing.
int CreateLog();
void LogText(int id, const std::string &text);
void LogWarn(int id, const std::string &text);
void LogErr(int id, const std::string &text);
void LogExcept(int id, const std::string &text, const std::exception &e);
void LogAppendText(int id, const std::string &text);
void LogNewLineId(int id);
bool IsLogEnabled(int id);
std::string GetLogFileName(int id);
bool SetLogFile(int id, const std::string &fileName, bool errorLog);
std::string GetLogErrorMsg(int id);
std::vector<std::string> GetLogHeaderLines(int id);
void SetLogHeaderLines(int id, std::vector<std::string> lines);
void SetLogLimit(int id, TLogLimitType kind, uint32_t size);
void SetLogSaveEnabled(int id, bool value);
void SetLogSavePath(int id, const std::string &path);

// Demangled class name of an exception object.
std::string ExceptionClassName(const std::exception &e);
// Stack trace of the calling thread, one frame per line; empty where the
// platform gives none.
std::string CurrentStackTrace();

}  // namespace zor
