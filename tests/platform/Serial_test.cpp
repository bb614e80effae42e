#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/Zor_Serial.h"

using namespace zor::platform;

namespace {

// A pseudo-terminal: the port under test opens its slave end, the test
// plays the device on the master end.
struct TPty {
  int Master = -1;
  std::string SlaveName;
  TPty() {
    Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (Master < 0 || ::grantpt(Master) != 0 || ::unlockpt(Master) != 0 ||
        ::ptsname_r(Master, name, sizeof name) != 0)
      ADD_FAILURE() << "no pseudo-terminal";
    SlaveName = name;
  }
  ~TPty() { CloseMaster(); }
  void CloseMaster() {
    if (Master >= 0) ::close(Master);
    Master = -1;
  }
  void Send(const std::string &bytes) const {
    ASSERT_EQ(::write(Master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  // What reaches the master within `ms`.
  std::string Receive(int ms) const {
    std::string got;
    pollfd fd{Master, POLLIN, 0};
    while (::poll(&fd, 1, ms) == 1 && (fd.revents & POLLIN)) {
      char buf[256];
      const ssize_t n = ::read(Master, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
};

std::unique_ptr<TZor_SerialPort> Open(const TPty &pty) {
  TZor_SysError error;
  auto port = OpenSerialPort(pty.SlaveName, 115200, error);
  EXPECT_TRUE(port) << pty.SlaveName << ": " << error.Code << " " << error.Native;
  return port;
}

// Collects `count` bytes from the port, each read waiting at most 1 s.
std::string ReadBytes(TZor_SerialPort &port, size_t count) {
  std::string all, piece;
  while (all.size() < count && port.Read(piece, count - all.size(), 1000) == TZor_IoResult::ioOk)
    all += piece;
  return all;
}

using TClock = std::chrono::steady_clock;
long MsSince(TClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

}  // namespace

TEST(SerialPort, RawBytesBothWaysWithoutEcho) {
  TPty pty;
  auto port = Open(pty);
  ASSERT_TRUE(port);
  // CR, LF, ^C, ^D, XON, XOFF: a cooked line would translate, signal,
  // end the line or swallow them.
  const std::string control = "\x0D\x0A\x03\x04\x11\x13\x7F";
  pty.Send(control);
  EXPECT_EQ(ReadBytes(*port, control.size()), control);
  EXPECT_EQ(pty.Receive(50), "") << "echoed back";

  size_t written = 0;
  const std::string binary("\n\r\x00\xFFx", 5);
  EXPECT_EQ(port->Write(binary, 1000, written), TZor_IoResult::ioOk);
  EXPECT_EQ(written, binary.size());
  EXPECT_EQ(pty.Receive(200), binary);
}

TEST(SerialPort, ReadsWithinTheirDeadlineAndLimit) {
  TPty pty;
  auto port = Open(pty);
  ASSERT_TRUE(port);
  std::string data = "stale";
  auto start = TClock::now();
  EXPECT_EQ(port->Read(data, 64, 100), TZor_IoResult::ioTimeout);
  EXPECT_GE(MsSince(start), 90);
  EXPECT_LT(MsSince(start), 1500);
  EXPECT_EQ(data, "");

  pty.Send("abc");
  ASSERT_EQ(port->Read(data, 2, 1000), TZor_IoResult::ioOk);
  EXPECT_EQ(data, "ab");
  EXPECT_EQ(port->Read(data, 64, 0), TZor_IoResult::ioOk) << "already there, no wait needed";
  EXPECT_EQ(data, "c");
  EXPECT_EQ(port->Read(data, 64, 0), TZor_IoResult::ioTimeout);
}

TEST(SerialPort, CancelEndsAReadOnAnotherThread) {
  TPty pty;
  auto port = Open(pty);
  ASSERT_TRUE(port);
  TZor_IoResult result = TZor_IoResult::ioOk;
  long took = 0;
  std::thread reader([&] {
    std::string data;
    auto start = TClock::now();
    result = port->Read(data, 64, 10000);
    took = MsSince(start);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  port->CancelRead();
  reader.join();
  EXPECT_EQ(result, TZor_IoResult::ioCancelled);
  EXPECT_LT(took, 2000);
  EXPECT_EQ(port->GetLastError().Code, ERR_OPERATION_ABORTED);
  // The cancel is used up: the port reads normally again.
  std::string data;
  EXPECT_EQ(port->Read(data, 64, 20), TZor_IoResult::ioTimeout);
  pty.Send("z");
  EXPECT_EQ(ReadBytes(*port, 1), "z");
}

TEST(SerialPort, HangupMeansTheDeviceIsGone) {
  TPty pty;
  auto port = Open(pty);
  ASSERT_TRUE(port);
  pty.CloseMaster();
  std::string data;
  EXPECT_EQ(port->Read(data, 64, 1000), TZor_IoResult::ioError);
  EXPECT_EQ(port->GetLastError().Code, ERR_DEVICE_NOT_CONNECTED);
  size_t written = 1;
  EXPECT_EQ(port->Write("x", 1000, written), TZor_IoResult::ioError);
  EXPECT_EQ(port->GetLastError().Code, ERR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(written, 0u);
}

TEST(SerialPort, WriteDeadlineLeavesTheCountShort) {
  TPty pty;
  auto port = Open(pty);
  ASSERT_TRUE(port);
  // Nobody reads the master: the pty buffer fills up.
  const std::string big(1 << 20, 'w');
  size_t written = 0;
  auto start = TClock::now();
  EXPECT_EQ(port->Write(big, 100, written), TZor_IoResult::ioTimeout);
  EXPECT_LT(MsSince(start), 1500);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
}

TEST(SerialPort, OpenErrors) {
  TPty pty;
  {
    auto first = Open(pty);
    ASSERT_TRUE(first);
    TZor_SysError error;
    EXPECT_FALSE(OpenSerialPort(pty.SlaveName, 115200, error));
    EXPECT_EQ(error.Code, ERR_ACCESS_DENIED) << "held by another user of the port";
    EXPECT_FALSE(first->SetBaudRate(12345));
    EXPECT_TRUE(first->SetBaudRate(9600));
  }
  EXPECT_TRUE(Open(pty)) << "free again once closed";

  TZor_SysError error;
  EXPECT_FALSE(OpenSerialPort("/dev/ttyACM-zor-missing", 115200, error));
  EXPECT_EQ(error.Code, ERR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(OpenSerialPort(pty.SlaveName, 12345, error)) << "unknown baud rate";
  EXPECT_EQ(error.Code, ERR_INVALID_PARAMETER);
}
