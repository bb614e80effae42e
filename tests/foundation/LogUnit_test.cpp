#include "foundation/LogUnit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zor {
namespace {

namespace fs = std::filesystem;

class LogUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    FDir = fs::temp_directory_path() /
           ("zor_log_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(FDir);
  }
  void TearDown() override { fs::remove_all(FDir); }

  std::string Path(const std::string &name) const { return (FDir / name).string(); }

  static std::string ReadFile(const std::string &name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Lines split at CR LF.
  static std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0, pos;
    while ((pos = text.find("\r\n", start)) != std::string::npos) {
      lines.push_back(text.substr(start, pos - start));
      start = pos + 2;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
  }

  std::vector<std::string> FilesInDir() const {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(FDir)) names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  static size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
  }

  fs::path FDir;
};

// `pattern`: '#' a decimal digit, 'X' an upper-case hex digit, '*' any digits,
// anything else itself.
bool Matches(const std::string &text, const std::string &pattern) {
  size_t t = 0;
  for (char p : pattern) {
    if (p == '*') {
      while (t < text.size() && std::isdigit(static_cast<unsigned char>(text[t]))) ++t;
      continue;
    }
    if (t >= text.size()) return false;
    const char c = text[t++];
    const bool ok = p == '#'   ? std::isdigit(static_cast<unsigned char>(c)) != 0
                    : p == 'X' ? std::isxdigit(static_cast<unsigned char>(c)) && !std::islower(c)
                               : c == p;
    if (!ok) return false;
  }
  return t == text.size();
}

TEST_F(LogUnitTest, LineColumnsAreBlankWhenTimeAndThreadRepeat) {
  TLogger log;
  log.SetLogFileName(Path("cols.txt"));
  for (int i = 0; i < 300; ++i) log.LogIt("line " + std::to_string(i));
  std::thread([&] { log.LogIt("other thread"); }).join();
  log.LogIt("back");
  log.SetLogFileName("");

  const auto lines = Lines(ReadFile(Path("cols.txt")));
  const std::string timeCol = "##:##:##.###", threadCol = "XXXXXXXX";
  // Opening line, ID line, the empty line of the first LogIt, then the lines.
  ASSERT_GE(lines.size(), 305u);
  EXPECT_NE(lines[0].find(" Log file opened: " + Path("cols.txt")), std::string::npos);
  EXPECT_EQ(lines[1].substr(22), "ID=-1, SizeLimit=0, Type=logUnlimited, errorLog=False");
  EXPECT_EQ(lines[2], "");

  std::string lastTime = lines[0].substr(0, 12), lastThread = lines[0].substr(13, 8);
  if (lines[1][0] != ' ') lastTime = lines[1].substr(0, 12);
  EXPECT_TRUE(Matches(lastThread, threadCol));
  int blankTimes = 0;
  for (size_t i = 3; i < 303; ++i) {
    const std::string &l = lines[i];
    ASSERT_EQ(l.substr(22), "line " + std::to_string(i - 3));
    EXPECT_EQ(l[12], ' ');
    EXPECT_EQ(l.substr(13, 8), std::string(8, ' ')) << "same thread must not repeat its id";
    const std::string t = l.substr(0, 12);
    if (t == std::string(12, ' ')) {
      ++blankTimes;
    } else {
      EXPECT_TRUE(Matches(t, timeCol)) << t;
      EXPECT_NE(t, lastTime);
      lastTime = t;
    }
  }
  EXPECT_GT(blankTimes, 0);
  const std::string other = lines[303].substr(13, 8), back = lines[304].substr(13, 8);
  EXPECT_TRUE(Matches(other, threadCol));
  EXPECT_TRUE(Matches(back, threadCol));
  EXPECT_NE(other, back);
  EXPECT_EQ(back, lastThread);
  EXPECT_NE(lines.back().find("Log file closed, "), std::string::npos);
}

TEST_F(LogUnitTest, AppendContinuesLineAndLogItEndsIt) {
  TLogger log;
  log.SetLogFileName(Path("append.txt"));
  log.LogIt("first");
  log.LogAppend("part1");
  log.LogAppend("+part2");
  log.LogIt("second");
  log.LogAppend("tail");
  log.LogNewLine();
  log.LogNewLine();  // already on a new line: nothing
  log.LogError("bad");
  const auto lines = Lines(ReadFile(Path("append.txt")));
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[3].substr(22), "first");
  EXPECT_EQ(lines[4].substr(22), "part1+part2");
  EXPECT_EQ(lines[5].substr(22), "second");
  EXPECT_EQ(lines[6].substr(22), "tail");
  EXPECT_EQ(lines[7].substr(22), "ERROR: bad");
}

TEST_F(LogUnitTest, LimitsAreNormalisedAndReopenOnlyWhenChanged) {
  TLogger log;
  log.SetLimit(logUnlimited, 5000);
  EXPECT_EQ(log.GetLogSizeLimit(), 0u);
  log.SetLimit(logCreateNew, 0);
  EXPECT_EQ(log.GetLogSizeLimit(), LogDefaultSizeLimit);
  log.SetLimit(logOverwrite, 0);

  const std::string name = Path("same.txt");
  log.SetLogFileName(name);
  log.LogIt("kept");
  log.SetLogFileName(name);  // unchanged: file stays open, content kept
  log.LogIt("still");
  std::string text = ReadFile(name);
  EXPECT_EQ(Count(text, "Log file opened"), 1u);
  EXPECT_NE(text.find("still"), std::string::npos);

  log.SetLimit(logOverwrite, 100000);
  log.SetLogFileName(name);  // limits changed: closed and reopened, truncated
  text = ReadFile(name);
  EXPECT_EQ(Count(text, "Log file opened"), 1u);
  EXPECT_EQ(text.find("kept"), std::string::npos);
  EXPECT_NE(text.find("SizeLimit=100000, Type=logOverwrite"), std::string::npos);
}

TEST_F(LogUnitTest, OverwriteRestartsAtTheBeginningOfTheFile) {
  TLogger log;
  log.SetLimit(logOverwrite, 2000);
  const std::string name = Path("over.txt");
  log.SetLogFileName(name);
  for (int i = 0; i < 200; ++i) log.LogIt("entry " + std::to_string(i) + std::string(20, 'x'));
  EXPECT_LE(fs::file_size(name), 2000u + 200u);
  std::string text = ReadFile(name);
  EXPECT_EQ(text.find("Log file overwritten: " + name), 22u) << "the overwrite line starts the file";
  EXPECT_NE(text.find("entry 199"), std::string::npos);
  EXPECT_EQ(text.find("entry 0x"), std::string::npos);
  EXPECT_EQ(log.GetInternLogFileName(), name);
  log.SetLogFileName("");
  // The closing block lands where writing stopped, before older leftovers.
  text = ReadFile(name);
  const auto closed = text.find("Log file closed, ");
  ASSERT_NE(closed, std::string::npos);
  EXPECT_LT(text.find("entry 199"), closed);
  EXPECT_EQ(Count(text, std::string(57, '*') + "\r\n"), 4u);
}

TEST_F(LogUnitTest, CreateNewContinuesInTimeStampedFiles) {
  TLogger log;
  log.SetLimit(logCreateNew, 1000);
  log.SetLogFileName(Path("Debug.txt"));
  const std::string first = log.GetInternLogFileName();
  EXPECT_TRUE(Matches(fs::path(first).filename().string(), "Debug_########_######.txt"));
  for (int i = 0; i < 100; ++i) log.LogIt("row " + std::to_string(i));
  log.SetLogFileName("");

  // Every file is complete on its own, names are unique and chained, and no row is lost.
  const auto files = FilesInDir();
  ASSERT_GE(files.size(), 3u);
  std::string all;
  for (const auto &f : files) {
    const std::string text = ReadFile(f);
    EXPECT_NE(text.find("Log file opened: " + f), std::string::npos);
    EXPECT_NE(text.find("Log file closed, "), std::string::npos);
    EXPECT_LT(fs::file_size(f), 1000u + 300u);
    all += text;
  }
  for (int i = 0; i < 100; ++i) EXPECT_EQ(Count(all, "row " + std::to_string(i) + "\r\n"), 1u) << i;
  const std::string firstText = ReadFile(first);
  const std::string tag = "Continue in next Log file: ";
  const auto at = firstText.find(tag);
  ASSERT_NE(at, std::string::npos);
  const std::string next = firstText.substr(at + tag.size(), firstText.find("\r\n", at) - at - tag.size());
  EXPECT_TRUE(fs::exists(next));
  EXPECT_NE(next, first);
}

TEST_F(LogUnitTest, ErrorLogKeepsOnlyFilesWithErrorsUnderVirtualTime) {
  platform::TZor_VirtualClock clock(1000);
  platform::TZor_ClockGuard guard(clock);
  const uint32_t halfHourAndABit = LogTimeLimitMs + 1000;

  TLogger log;
  log.SetLimit(logCreateNew, 0);
  log.SetErrorLog(true);
  log.SetLogFileName(Path("err.txt"));
  log.LogIt("quiet");
  clock.Advance(halfHourAndABit);
  log.LogIt("next");  // rotates; the quiet file goes
  EXPECT_EQ(FilesInDir().size(), 1u);

  const std::string errorFile = log.GetInternLogFileName();
  log.LogError("something failed");
  clock.Advance(LogTimeLimitMs / 2);
  log.LogIt("not yet");
  EXPECT_EQ(log.GetInternLogFileName(), errorFile);
  clock.Advance(halfHourAndABit);
  log.LogIt("rotate");  // the error file is kept
  EXPECT_NE(log.GetInternLogFileName(), errorFile);

  clock.Advance(halfHourAndABit);
  log.LogIt("rotate again");  // the quiet file after the error file goes
  log.SetLogFileName("");

  const auto files = FilesInDir();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], errorFile);
  const std::string kept = ReadFile(errorFile);
  EXPECT_NE(kept.find("ERROR: something failed"), std::string::npos);
  EXPECT_NE(kept.find("LogTimeLimit (half an hour) reached"), std::string::npos);
}

TEST_F(LogUnitTest, SwitchingOffDeletesFilesWithoutContent) {
  TLogger errorLog;
  errorLog.SetErrorLog(true);
  errorLog.SetLogFileName(Path("e.txt"));
  errorLog.LogIt("no error here");
  errorLog.SetLogFileName("");

  TLogger plain;
  plain.SetLogFileName(Path("empty.txt"));
  plain.SetLogFileName("");  // nothing written after the opening lines

  TLogger used;
  used.SetLogFileName(Path("used.txt"));
  used.LogIt("content");
  used.SetLogFileName("");
  EXPECT_EQ(FilesInDir(), std::vector<std::string>{Path("used.txt")});
}

TEST_F(LogUnitTest, RegistryIgnoresUnknownIdsAndReportsOpenFailures) {
  for (int bad : {-1, 1000000}) {
    LogText(bad, "x");
    LogErr(bad, "x");
    LogAppendText(bad, "x");
    LogNewLineId(bad);
    LogExcept(bad, "x", std::runtime_error("y"));
    EXPECT_FALSE(IsLogEnabled(bad));
    EXPECT_FALSE(SetLogFile(bad, Path("bad.txt"), false));
    EXPECT_EQ(GetLogFileName(bad), "");
  }
  EXPECT_TRUE(FilesInDir().empty());

  const int id = CreateLog();
  EXPECT_EQ(CreateLog(), id + 1);
  EXPECT_EQ(CreateLog(), id + 2);
  const std::string missing = Path("no/such/dir/log.txt");
  EXPECT_FALSE(SetLogFile(id, missing, false));
  EXPECT_FALSE(IsLogEnabled(id));
  EXPECT_EQ(GetLogErrorMsg(id), "Logfile not created: " + missing);

  SetLogHeaderLines(id, {"header one", "header two"});
  ASSERT_TRUE(SetLogFile(id, Path("reg.txt"), false));
  EXPECT_EQ(GetLogErrorMsg(id), "");
  LogWarn(id, "careful");
  SetLogFile(id, "", false);
  const auto lines = Lines(ReadFile(Path("reg.txt")));
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[1].substr(22),
            "ID=" + std::to_string(id) + ", SizeLimit=0, Type=logUnlimited, errorLog=False");
  EXPECT_EQ(lines[2].substr(22), "header one");
  EXPECT_EQ(lines[3].substr(22), "header two");
  EXPECT_EQ(lines[5].substr(22), "WARN:  careful");
}

TEST_F(LogUnitTest, ExceptionWithoutFileDumpsTheRingOldestFirst) {
  const int id = CreateLog();
  SetLogSaveEnabled(id, true);
  SetLogSavePath(id, Path("dumps/sub/"));
  for (int i = 0; i < 1005; ++i) LogText(id, "line " + std::to_string(i));
  LogExcept(id, "TCircularBuffer.InsertAnsiString failed", std::out_of_range("index 7"));

  std::vector<fs::path> dumps;
  for (const auto &e : fs::directory_iterator(FDir / "dumps" / "sub")) dumps.push_back(e.path());
  ASSERT_EQ(dumps.size(), 1u);
  const std::string dumpName = dumps[0].filename().string();
  EXPECT_TRUE(Matches(dumpName, "ExceptionLog_*_########_######.###.txt")) << dumpName;
  EXPECT_EQ(dumpName.rfind("ExceptionLog_" + std::to_string(id) + "_", 0), 0u);
  const std::string text = ReadFile(dumps[0].string());
  const auto lines = Lines(text);
  // 1005 lines + error, class and stack lines; the ring keeps the last 1000.
  EXPECT_EQ(lines[0].substr(22), "line 8");
  EXPECT_EQ(Count(text, "line 7\r\n"), 0u);
  EXPECT_NE(text.find("ERROR: TCircularBuffer.InsertAnsiString failed\r\n"), std::string::npos);
  EXPECT_NE(text.find("EXCEP: std::out_of_range index 7\r\n"), std::string::npos);
  EXPECT_NE(text.find("STACK: "), std::string::npos);
}

TEST_F(LogUnitTest, ConcurrentWritersKeepEveryLineWhole) {
  const int id = CreateLog();
  ASSERT_TRUE(SetLogFile(id, Path("mt.txt"), false));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([id, t] {
      for (int i = 0; i < 200; ++i) LogText(id, "T" + std::to_string(t) + "." + std::to_string(i) + ".end");
    });
  for (auto &th : threads) th.join();
  SetLogFile(id, "", false);
  const std::string text = ReadFile(Path("mt.txt"));
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 200; i += 37)
      EXPECT_EQ(Count(text, "T" + std::to_string(t) + "." + std::to_string(i) + ".end\r\n"), 1u);
  EXPECT_EQ(Count(text, ".end\r\n"), 800u);
}

}  // namespace
}  // namespace zor
