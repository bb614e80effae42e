#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <string>

#include "platform/Zor_Serial.h"
#include "platform/Zor_SimUsb.h"
#include "platform/linux/Zor_DeviceNode.h"

namespace zor::platform {

namespace {

std::optional<speed_t> SpeedOf(uint32_t baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 3000000: return B3000000;
    case 4000000: return B4000000;
    default: return std::nullopt;
  }
}

class TLinuxSerialPort : public TZor_SerialPort {
 public:
  explicit TLinuxSerialPort(int fd) : FFd(fd) {}

  ~TLinuxSerialPort() override {
    // The exclusive flag outlives our descriptor on some ttys (a pty whose
    // other end stays open): clear it so the port can be opened again.
    if (FExclusive) ::ioctl(FFd, TIOCNXCL);
    ::close(FFd);
    if (FCancel >= 0) ::close(FCancel);
  }

  bool Init(uint32_t baud, TZor_SysError &error) {
    if (::flock(FFd, LOCK_EX | LOCK_NB) != 0) {
      error = errno == EWOULDBLOCK ? TZor_SysError{ERR_ACCESS_DENIED, errno} : FromErrno(errno);
      return false;
    }
    if (::ioctl(FFd, TIOCEXCL) == 0) {
      FExclusive = true;
    } else if (errno != ENOTTY) {  // emulated nodes may not know it
      error = FromErrno(errno);
      return false;
    }
    FCancel = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FCancel < 0 || !Configure(baud)) {
      error = FCancel < 0 ? LastSystemError() : FLastError.load();
      return false;
    }
    return true;
  }

  TZor_IoResult Read(std::string &data, size_t maxBytes, uint32_t timeoutMs) override {
    data.clear();
    const TZor_Deadline deadline = DeadlineIn(timeoutMs);
    for (;;) {
      pollfd fds[2] = {{FFd, POLLIN, 0}, {FCancel, POLLIN, 0}};
      const int ready = ::poll(fds, 2, RemainingMs(deadline));
      if (ready < 0) {
        if (errno == EINTR) continue;
        return Fail(errno);
      }
      if (fds[1].revents & POLLIN) {
        uint64_t count;
        (void)!::read(FCancel, &count, sizeof count);
        FLastError = TZor_SysError{ERR_OPERATION_ABORTED, ECANCELED};
        return TZor_IoResult::ioCancelled;
      }
      if (ready == 0) {
        FLastError = TZor_SysError{ERR_TIMEOUT, ETIMEDOUT};
        return TZor_IoResult::ioTimeout;
      }
      if (maxBytes == 0) return TZor_IoResult::ioOk;
      data.resize(maxBytes);
      const ssize_t n = ::read(FFd, data.data(), maxBytes);
      if (n > 0) {
        data.resize(static_cast<size_t>(n));
        return TZor_IoResult::ioOk;
      }
      data.clear();
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      // Readable but nothing to read is a hung-up port.
      return Fail(n == 0 ? EIO : errno);
    }
  }

  TZor_IoResult Write(const std::string &data, uint32_t timeoutMs, size_t &written) override {
    written = 0;
    const TZor_Deadline deadline = DeadlineIn(timeoutMs);
    while (written < data.size()) {
      const ssize_t n = ::write(FFd, data.data() + written, data.size() - written);
      if (n > 0) {
        written += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return Fail(errno);
      pollfd fd{FFd, POLLOUT, 0};
      const int ready = ::poll(&fd, 1, RemainingMs(deadline));
      if (ready < 0 && errno != EINTR) return Fail(errno);
      if (ready == 0) {
        FLastError = TZor_SysError{ERR_TIMEOUT, ETIMEDOUT};
        return TZor_IoResult::ioTimeout;
      }
      if (fd.revents & (POLLHUP | POLLERR | POLLNVAL)) return Fail(EIO);
    }
    return TZor_IoResult::ioOk;
  }

  bool SetBaudRate(uint32_t baud) override {
    termios tio;
    if (::tcgetattr(FFd, &tio) != 0) return SetupFailed(errno);
    return ApplySpeed(tio, baud) && Apply(tio);
  }

  void CancelRead() override {
    const uint64_t one = 1;
    (void)!::write(FCancel, &one, sizeof one);
  }

  TZor_SysError GetLastError() const override { return FLastError.load(); }

 private:
  TZor_IoResult Fail(int err) {
    FLastError = DeviceIoError(err);
    return TZor_IoResult::ioError;
  }

  bool SetupFailed(int err) {
    Fail(err);
    return false;
  }

  // A fresh ttyACM is in cooked mode with echo: every byte must pass as it
  // is, and nothing may come back by itself.
  bool Configure(uint32_t baud) {
    termios tio;
    if (::tcgetattr(FFd, &tio) != 0) return SetupFailed(errno);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (!ApplySpeed(tio, baud) || !Apply(tio)) return false;
    // Whatever arrived before we owned the port belongs to nobody.
    ::tcflush(FFd, TCIFLUSH);
    return true;
  }

  bool ApplySpeed(termios &tio, uint32_t baud) {
    auto speed = SpeedOf(baud);
    if (!speed) {
      FLastError = TZor_SysError{ERR_INVALID_PARAMETER, EINVAL};
      return false;
    }
    ::cfsetispeed(&tio, *speed);
    ::cfsetospeed(&tio, *speed);
    return true;
  }

  bool Apply(const termios &tio) {
    if (::tcsetattr(FFd, TCSANOW, &tio) != 0) return SetupFailed(errno);
    return true;
  }

  const int FFd;
  int FCancel = -1;
  bool FExclusive = false;
  // Read and Write may run on different threads.
  std::atomic<TZor_SysError> FLastError{};
};

}  // namespace

std::unique_ptr<TZor_SerialPort> OpenSerialPort(const std::string &node, uint32_t baud,
                                                TZor_SysError &error) {
  if (node.rfind("sim:", 0) == 0) return OpenSimSerialPort(node, error);
  const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = DeviceOpenError(errno);
    return nullptr;
  }
  auto port = std::make_unique<TLinuxSerialPort>(fd);
  if (!port->Init(baud, error)) return nullptr;
  return port;
}

}  // namespace zor::platform
