// HID report I/O on hidraw nodes. hidraw leaves out the report-ID byte of
// a device without numbered reports on reads and expects report number 0
// in front on writes; callers always see byte 0 = report ID.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <mutex>

#include "platform/Zor_HidDescriptor.h"
#include "platform/Zor_Hid.h"
#include "platform/Zor_SimUsb.h"
#include "platform/Zor_UsbBackend.h"
#include "platform/linux/Zor_DeviceNode.h"
#include "platform/linux/Zor_SysfsUtil.h"

namespace zor::platform {

namespace {

class TLinuxHidPort final : public TZor_HidPort {
 public:
  TLinuxHidPort(int fd, int cancelFd, const TZor_HidReportLayout &layout)
      : FFd(fd), FCancelFd(cancelFd), FLayout(layout) {}
  ~TLinuxHidPort() override {
    ::close(FCancelFd);
    ::close(FFd);  // also drops the flock
  }

  uint32_t InputReportLength() const override { return FLayout.InputLength; }
  uint32_t OutputReportLength() const override { return FLayout.OutputLength; }

  TZor_IoResult Read(std::string &report, uint32_t timeoutMs) override {
    const TZor_Deadline deadline = DeadlineIn(timeoutMs);
    std::string buf(FLayout.InputLength, '\0');
    while (!TakeReport(report)) {
      pollfd fds[2] = {{FCancelFd, POLLIN, 0}, {FFd, POLLIN, 0}};
      int n = ::poll(fds, 2, RemainingMs(deadline));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(DeviceIoError(errno));
      if (fds[0].revents & POLLIN) {
        uint64_t count;
        (void)!::read(FCancelFd, &count, sizeof count);
        return Fail({ERR_OPERATION_ABORTED, ECANCELED}, TZor_IoResult::ioCancelled);
      }
      if (n == 0) return Fail({ERR_TIMEOUT, ETIMEDOUT}, TZor_IoResult::ioTimeout);
      if (!(fds[1].revents & POLLIN)) return Fail({ERR_DEVICE_NOT_CONNECTED, EIO});  // hangup or error
      // Always offer room for a whole report: hidraw drops what does not fit.
      ssize_t got = ::read(FFd, buf.data(), buf.size());
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (got < 0) return Fail(DeviceIoError(errno));
      if (got == 0) return Fail({ERR_DEVICE_NOT_CONNECTED, EIO});
      FPending.append(buf, 0, static_cast<size_t>(got));
    }
    return TZor_IoResult::ioOk;
  }

  TZor_IoResult Write(const std::string &report, uint32_t timeoutMs) override {
    // A device without numbered reports only takes report number 0.
    if (report.size() != FLayout.OutputLength || (!FLayout.Numbered && report[0] != 0))
      return Fail({ERR_INVALID_PARAMETER, EINVAL});
    const TZor_Deadline deadline = DeadlineIn(timeoutMs);
    for (;;) {
      pollfd fd = {FFd, POLLOUT, 0};
      int n = ::poll(&fd, 1, RemainingMs(deadline));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(DeviceIoError(errno));
      if (n == 0) return Fail({ERR_TIMEOUT, ETIMEDOUT}, TZor_IoResult::ioTimeout);
      if (!(fd.revents & POLLOUT)) return Fail({ERR_DEVICE_NOT_CONNECTED, EIO});
      ssize_t put = ::write(FFd, report.data(), report.size());
      if (put < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (put < 0) return Fail(DeviceIoError(errno));
      if (static_cast<size_t>(put) != report.size()) return Fail({ERR_WRITE_FAULT, EIO});
      return TZor_IoResult::ioOk;
    }
  }

  void CancelRead() override {
    uint64_t one = 1;
    (void)!::write(FCancelFd, &one, sizeof one);
  }

  TZor_SysError GetLastError() const override {
    std::lock_guard lock(FErrorLock);
    return FLastError;
  }

 private:
  // One whole report from what has arrived; a node may deliver it in
  // pieces, and what follows it stays for the next Read.
  bool TakeReport(std::string &report) {
    if (FPending.empty()) return false;
    size_t need = FLayout.InputLength - 1;
    if (FLayout.Numbered) {
      auto it = FLayout.InputBytes.find(static_cast<uint8_t>(FPending[0]));
      need = (it != FLayout.InputBytes.end() ? it->second : need) + 1;
    }
    if (FPending.size() < need) return false;
    report = FLayout.Numbered ? std::string() : std::string(1, '\0');
    report.append(FPending, 0, need);
    report.resize(FLayout.InputLength, '\0');
    FPending.erase(0, need);
    return true;
  }

  TZor_IoResult Fail(TZor_SysError error, TZor_IoResult result = TZor_IoResult::ioError) {
    std::lock_guard lock(FErrorLock);
    FLastError = error;
    return result;
  }

  const int FFd;
  const int FCancelFd;
  const TZor_HidReportLayout FLayout;
  std::string FPending;  // reader thread only
  mutable std::mutex FErrorLock;
  TZor_SysError FLastError;
};

// The report descriptor from sysfs (named after the node), else from the node itself.
bool ReadReportDescriptor(int fd, const std::string &node, std::string &descriptor) {
  const std::string name = node.substr(node.find_last_of('/') + 1);
  int err = 0;
  if (ReadSysfsFile(UsbSysRoot() + "/class/hidraw/" + name + "/device/report_descriptor", descriptor, err,
                    HID_MAX_DESCRIPTOR_SIZE))
    return true;
  int size = 0;
  if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE) return false;
  hidraw_report_descriptor desc{};
  desc.size = static_cast<uint32_t>(size);
  if (::ioctl(fd, HIDIOCGRDESC, &desc) < 0) return false;
  descriptor.assign(reinterpret_cast<const char *>(desc.value), desc.size);
  return true;
}

}  // namespace

std::unique_ptr<TZor_HidPort> OpenHidPort(const std::string &node, TZor_SysError &error) {
  if (node.rfind("sim:", 0) == 0) return OpenSimHidPort(node, error);
  int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    error = DeviceOpenError(errno);
    return nullptr;
  }
  const auto fail = [&](TZor_SysError e) {
    ::close(fd);
    error = e;
    return nullptr;
  };
  if (::flock(fd, LOCK_EX | LOCK_NB) < 0)
    return fail(errno == EWOULDBLOCK ? TZor_SysError{ERR_ACCESS_DENIED, errno} : DeviceOpenError(errno));
  std::string descriptor;
  TZor_HidReportLayout layout;
  if (!ReadReportDescriptor(fd, node, descriptor) ||
      !ParseHidReportDescriptor(reinterpret_cast<const uint8_t *>(descriptor.data()), descriptor.size(), layout))
    return fail({ERR_INVALID_DATA, EBADMSG});
  int cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (cancelFd < 0) return fail(FromErrno(errno));
  error = {};
  return std::make_unique<TLinuxHidPort>(fd, cancelFd, layout);
}

}  // namespace zor::platform
