#include <linux/netlink.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/Zor_DeviceNotify.h"
#include "platform/Zor_SimUsb.h"
#include "platform/Zor_UEventMapper.h"
#include "platform/Zor_UsbBackend.h"

namespace zor::platform {

namespace {

constexpr uint32_t KernelEventGroup = 1;
// Bounds one Pump under an event storm; the handle stays readable for the rest.
constexpr int MaxMessagesPerPump = 256;

class TFd {
 public:
  explicit TFd(int fd = -1) : FFd(fd) {}
  ~TFd() {
    if (FFd >= 0) ::close(FFd);
  }
  TFd(TFd &&other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
  TFd &operator=(TFd &&) = delete;
  int Get() const { return FFd; }

 private:
  int FFd;
};

class TLinuxDeviceMonitor : public TZor_DeviceMonitor {
 public:
  TLinuxDeviceMonitor(THandler handler, TFd sock, TFd wake, TFd epoll)
      : FHandler(std::move(handler)),
        FSock(std::move(sock)),
        FWake(std::move(wake)),
        FEpoll(std::move(epoll)),
        FMapper(UsbSysRoot()),
        // An emulated test bed (umockdev) hands its events over in udev's
        // form from its own socket, not the kernel's: that counts only inside one.
        FInTestBed(std::getenv("UMOCKDEV_DIR") != nullptr) {}

  ~TLinuxDeviceMonitor() override {
    if (FListenerId >= 0) RemoveSimUsbListener(FListenerId);
  }

  // Listening starts before the walk, so a device arriving meanwhile is
  // announced rather than missed.
  void Start() {
    FListenerId = AddSimUsbListener(
        [this](const TZor_UsbDeviceInfo &info, bool attached) { OnSimDevice(info, attached); });
    std::string errorText;
    for (const auto &device : EnumerateUsbDevices(errorText))
      if (device.SysPath.rfind("/sys/", 0) == 0)
        FMapper.Remember(device.SysPath.substr(4), device.VendorID, device.ProductID, device.SerialNumber);
  }

  TZor_NativeHandle PollHandle() const override { return FEpoll.Get(); }

  void Pump() override {
    uint64_t count;
    // Reset the wake-up before taking the queue: a change queued meanwhile
    // wakes the handle again instead of being left unnoticed.
    (void)!::read(FWake.Get(), &count, sizeof count);
    std::deque<TZor_DeviceChange> simulated;
    {
      std::lock_guard<std::mutex> g(FLock);
      simulated.swap(FSimQueue);
    }
    for (const auto &change : simulated) Deliver(change);
    for (int i = 0; i < MaxMessagesPerPump; ++i) {
      auto event = ReceiveEvent();
      if (!event) break;
      if (!*event) continue;
      if (auto change = FMapper.Map(**event)) Deliver(*change);
    }
  }

 private:
  // As the kernel orders them: a device arrives before its serial ports,
  // which leave before it.
  void OnSimDevice(const TZor_UsbDeviceInfo &info, bool attached) {
    TZor_DeviceChange device{
        attached ? TZor_DeviceChangeKind::dcUsbAttached : TZor_DeviceChangeKind::dcUsbDetached,
        info.SysPath + "#" + UsbIdentityName(info.VendorID, info.ProductID, info.SerialNumber)};
    const auto portKind = attached ? TZor_DeviceChangeKind::dcPortAttached : TZor_DeviceChangeKind::dcPortDetached;
    {
      std::lock_guard<std::mutex> g(FLock);
      if (attached) FSimQueue.push_back(device);
      for (const std::string &tty : info.TtyNodes) FSimQueue.push_back(TZor_DeviceChange{portKind, tty});
      if (!attached) FSimQueue.push_back(std::move(device));
    }
    const uint64_t one = 1;
    (void)!::write(FWake.Get(), &one, sizeof one);
  }

  void Deliver(const TZor_DeviceChange &change) {
    // The handler belongs to a front end; its failure must not end the pump
    // (and with it every later notification).
    try {
      FHandler(change);
    } catch (...) {
    }
  }

  // Outer nothing: the socket is drained. Inner nothing: a message that is
  // not an event from the kernel.
  std::optional<std::optional<TZor_UEvent>> ReceiveEvent() {
    sockaddr_nl sender{};
    sender.nl_pid = ~0u;  // an address the call does not fill counts as foreign
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec iov{FBuffer.data(), FBuffer.size()};
    msghdr msg{};
    msg.msg_name = &sender;
    msg.msg_namelen = sizeof sender;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(FSock.Get(), &msg, MSG_DONTWAIT);
    if (n < 0) {
      // ENOBUFS: the kernel dropped events on overflow; later ones still count.
      if (errno == EINTR || errno == ENOBUFS) return std::optional<TZor_UEvent>();
      return std::nullopt;
    }
    if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || (!FInTestBed && !FromKernel(msg, sender)))
      return std::optional<TZor_UEvent>();
    const std::string_view message(FBuffer.data(), static_cast<size_t>(n));
    if (auto event = ParseUEvent(message)) return event;
    if (FInTestBed) return ParseUdevMessage(message);
    return std::optional<TZor_UEvent>();
  }

  // Any local process may send to the group; only the kernel (port 0,
  // credentials of root) is believed.
  static bool FromKernel(msghdr &msg, const sockaddr_nl &sender) {
    if (sender.nl_family != AF_NETLINK || sender.nl_pid != 0) return false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
          c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
        ucred cred;
        std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
        return cred.uid == 0;
      }
    }
    return false;
  }

  THandler FHandler;
  TFd FSock, FWake, FEpoll;
  TZor_UEventMapper FMapper;
  const bool FInTestBed;
  int FListenerId = -1;
  std::mutex FLock;
  std::deque<TZor_DeviceChange> FSimQueue;
  // One byte more than an event may have, so an oversized one is seen.
  std::vector<char> FBuffer = std::vector<char>(64 * 1024 + 1);
};

}  // namespace

std::unique_ptr<TZor_DeviceMonitor> CreateDeviceMonitor(TZor_DeviceMonitor::THandler handler,
                                                        TZor_SysError &error) {
  auto fail = [&error]() -> std::unique_ptr<TZor_DeviceMonitor> {
    error = LastSystemError();
    return nullptr;
  };
  TFd sock(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
  if (sock.Get() < 0) return fail();
  const int on = 1;
  if (::setsockopt(sock.Get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) return fail();
  // Room for the burst of events a hub with several devices produces.
  const int bufferSize = 1024 * 1024;
  (void)::setsockopt(sock.Get(), SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = KernelEventGroup;
  if (::bind(sock.Get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return fail();
  TFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (wake.Get() < 0) return fail();
  TFd epoll(::epoll_create1(EPOLL_CLOEXEC));
  if (epoll.Get() < 0) return fail();
  for (int fd : {sock.Get(), wake.Get()}) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, fd, &ev) != 0) return fail();
  }
  auto monitor = std::make_unique<TLinuxDeviceMonitor>(std::move(handler), std::move(sock), std::move(wake),
                                                       std::move(epoll));
  monitor->Start();
  return monitor;
}

}  // namespace zor::platform
