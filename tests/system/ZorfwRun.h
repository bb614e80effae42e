// Helpers of the system tests that run zorfw as a child process: checks that
// print PASS/FAIL lines, one zorfw run with its output collected, and whether
// a simulated ColdFire's flash holds an S-record image.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/SimColdfire.h"

extern char **environ;

namespace zor::systest {

using TClock = std::chrono::steady_clock;

inline int Failures = 0;
inline void Check(bool ok, const std::string &what, const std::string &detail = {}) {
  std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what.c_str());
  if (!ok) {
    ++Failures;
    if (!detail.empty()) std::printf("---\n%s\n---\n", detail.c_str());
  }
  std::fflush(stdout);
}

// One zorfw run as a child process; its output is collected as it comes.
class TZorfw {
 public:
  TZorfw(const std::string &zorfw, std::vector<std::string> args) {
    // ZOR_SYSTEM_LOG_DIR=DIR keeps zorfw's logs of each run for a look afterwards.
    if (const char *dir = std::getenv("ZOR_SYSTEM_LOG_DIR"); dir && args[0] != "list") {
      static int run = 0;
      args.insert(args.end(),
                  {"--log", std::string(dir) + "/run" + std::to_string(++run), "--low-level-log"});
    }
    args.insert(args.begin(), zorfw);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    FStart = TClock::now();
    if (posix_spawn(&FPid, zorfw.c_str(), &actions, nullptr, argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    FReader = std::thread([this, fd = fds[0]] {
      char buf[4096];
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) > 0) {
        std::lock_guard l(FLock);
        FOutput.append(buf, size_t(n));
      }
      close(fd);
    });
  }
  ~TZorfw() {
    if (FPid > 0 && FExit == -2) Wait(0);
    if (FReader.joinable()) FReader.join();
  }

  std::string Output() {
    std::lock_guard l(FLock);
    return FOutput;
  }
  bool Has(const std::string &text) { return Output().find(text) != std::string::npos; }

  // Exit status, or -1 when it had to be killed after `limitS` seconds.
  int Wait(int limitS) {
    if (FPid <= 0) return -1;
    int status = 0;
    const auto deadline = FStart + std::chrono::seconds(limitS);
    while (waitpid(FPid, &status, WNOHANG) == 0) {
      if (TClock::now() >= deadline) {
        kill(FPid, SIGKILL);
        waitpid(FPid, &status, 0);
        FExit = -1;
        FSeconds = std::chrono::duration<double>(TClock::now() - FStart).count();
        return FExit;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FSeconds = std::chrono::duration<double>(TClock::now() - FStart).count();
    FExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (FReader.joinable()) FReader.join();
    return FExit;
  }
  double Seconds() const { return FSeconds; }
  bool Running() const {
    siginfo_t info{};
    return FPid > 0 && FExit == -2 && waitid(P_PID, id_t(FPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }

 private:
  pid_t FPid = -1;
  int FExit = -2;
  double FSeconds = 0;
  TClock::time_point FStart;
  std::thread FReader;
  std::mutex FLock;
  std::string FOutput;
};

// The data records of an S-record file: address and bytes.
inline std::vector<std::pair<uint32_t, std::string>> DataRecords(const std::string &path) {
  std::vector<std::pair<uint32_t, std::string>> records;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 4 || line[0] != 'S' || line[1] < '1' || line[1] > '3') continue;
    const size_t addrLen = size_t(line[1] - '0') + 1;
    std::string bytes;
    for (size_t i = 2; i + 1 < line.size() && std::isxdigit(uint8_t(line[i])); i += 2)
      bytes += char(std::stoi(line.substr(i, 2), nullptr, 16));
    if (bytes.size() < 1 + addrLen + 1) continue;
    uint32_t addr = 0;
    for (size_t i = 0; i < addrLen; ++i) addr = addr << 8 | uint8_t(bytes[1 + i]);
    records.emplace_back(addr, bytes.substr(1 + addrLen, bytes.size() - addrLen - 2));
  }
  return records;
}

inline bool FlashHolds(const TSimColdfire &model, const std::string &file, std::string &why) {
  const auto records = DataRecords(file);
  if (records.empty()) {
    why = "no data records in " + file;
    return false;
  }
  for (const auto &[addr, data] : records)
    if (model.PeekMemory(addr, uint32_t(data.size())) != data) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "flash differs at 0x%08X", addr);
      why = buf;
      return false;
    }
  return true;
}

}  // namespace zor::systest
