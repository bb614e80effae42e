#include "platform/Zor_SimUsb.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace zor::platform {

namespace {

struct TSimEntry {
  TZor_UsbDeviceInfo Info;
  TZor_SimHidOpener OpenHid;
  TZor_SimSerialOpener OpenSerial;
};

// FLock guards the lists and is never held while a listener or an opener
// runs. FDispatch serialises plug/unplug with their notifications, so
// listeners see attach and detach of one device in order, and a removed
// listener is never called after RemoveSimUsbListener returns; it is
// recursive so a listener may plug, unplug or remove listeners itself.
struct TRegistry {
  std::mutex FLock;
  std::recursive_mutex FDispatch;
  std::vector<TSimEntry> FDevices;  // in plug order
  std::map<int, TZor_SimUsbListener> FListeners;
  int FNextId = 1;
};

TRegistry &Registry() {
  static TRegistry registry;
  return registry;
}

bool IsSimName(const std::string &name) { return name.rfind("sim:", 0) == 0; }

// Calls every listener registered now; one removed meanwhile is skipped.
void Notify(TRegistry &r, const TZor_UsbDeviceInfo &info, bool attached) {
  std::vector<int> ids;
  {
    std::lock_guard lock(r.FLock);
    for (const auto &[id, listener] : r.FListeners) ids.push_back(id);
  }
  for (int id : ids) {
    TZor_SimUsbListener listener;
    {
      std::lock_guard lock(r.FLock);
      auto it = r.FListeners.find(id);
      if (it == r.FListeners.end()) continue;
      listener = it->second;
    }
    listener(info, attached);
  }
}

}  // namespace

bool PlugSimUsbDevice(const TZor_UsbDeviceInfo &info, TZor_SimHidOpener openHid, TZor_SimSerialOpener openSerial) {
  auto allSim = [](const std::vector<std::string> &nodes) { return std::all_of(nodes.begin(), nodes.end(), IsSimName); };
  if (!IsSimName(info.SysPath) || !allSim(info.HidNodes) || !allSim(info.TtyNodes)) return false;
  auto shares = [](const std::vector<std::string> &a, const std::vector<std::string> &b) {
    return std::any_of(a.begin(), a.end(), [&b](const std::string &n) { return std::find(b.begin(), b.end(), n) != b.end(); });
  };
  TRegistry &r = Registry();
  std::lock_guard dispatch(r.FDispatch);
  {
    std::lock_guard lock(r.FLock);
    for (const auto &entry : r.FDevices) {
      if (entry.Info.SysPath == info.SysPath || shares(info.HidNodes, entry.Info.HidNodes) ||
          shares(info.TtyNodes, entry.Info.TtyNodes))
        return false;
    }
    r.FDevices.push_back({info, std::move(openHid), std::move(openSerial)});
  }
  Notify(r, info, true);
  return true;
}

void UnplugSimUsbDevice(const std::string &sysPath) {
  TRegistry &r = Registry();
  std::lock_guard dispatch(r.FDispatch);
  TZor_UsbDeviceInfo info;
  {
    std::lock_guard lock(r.FLock);
    auto it = std::find_if(r.FDevices.begin(), r.FDevices.end(),
                           [&](const TSimEntry &e) { return e.Info.SysPath == sysPath; });
    if (it == r.FDevices.end()) return;
    info = std::move(it->Info);
    r.FDevices.erase(it);
  }
  Notify(r, info, false);
}

int AddSimUsbListener(TZor_SimUsbListener listener) {
  TRegistry &r = Registry();
  std::lock_guard lock(r.FLock);
  int id = r.FNextId++;
  r.FListeners.emplace(id, std::move(listener));
  return id;
}

void RemoveSimUsbListener(int id) {
  TRegistry &r = Registry();
  // Waits for a notification running on another thread to finish.
  std::lock_guard dispatch(r.FDispatch);
  std::lock_guard lock(r.FLock);
  r.FListeners.erase(id);
}

std::vector<TZor_UsbDeviceInfo> SimUsbDevices() {
  TRegistry &r = Registry();
  std::lock_guard lock(r.FLock);
  std::vector<TZor_UsbDeviceInfo> devices;
  for (const auto &entry : r.FDevices) devices.push_back(entry.Info);
  return devices;
}

namespace {

// Finds the opener of the plugged device that has `node` among the nodes
// `nodesOf` gives, and calls it outside the registry lock.
template <typename TPort, typename TOpener, typename TNodesOf, typename TOpenerOf>
std::unique_ptr<TPort> OpenSimNode(const std::string &node, TZor_SysError &error, TNodesOf nodesOf,
                                   TOpenerOf openerOf) {
  TOpener opener;
  {
    TRegistry &r = Registry();
    std::lock_guard lock(r.FLock);
    for (const auto &entry : r.FDevices) {
      const auto &nodes = nodesOf(entry);
      if (std::find(nodes.begin(), nodes.end(), node) != nodes.end()) opener = openerOf(entry);
    }
  }
  if (!opener) {
    error = {ERR_DEVICE_NOT_CONNECTED, 0};
    return nullptr;
  }
  error = {};
  auto port = opener(error);
  if (!port && error.Code == 0) error = {ERR_DEVICE_NOT_CONNECTED, 0};
  return port;
}

}  // namespace

std::unique_ptr<TZor_HidPort> OpenSimHidPort(const std::string &node, TZor_SysError &error) {
  return OpenSimNode<TZor_HidPort, TZor_SimHidOpener>(
      node, error, [](const TSimEntry &e) -> const auto & { return e.Info.HidNodes; },
      [](const TSimEntry &e) { return e.OpenHid; });
}

std::unique_ptr<TZor_SerialPort> OpenSimSerialPort(const std::string &node, TZor_SysError &error) {
  return OpenSimNode<TZor_SerialPort, TZor_SimSerialOpener>(
      node, error, [](const TSimEntry &e) -> const auto & { return e.Info.TtyNodes; },
      [](const TSimEntry &e) { return e.OpenSerial; });
}

}  // namespace zor::platform
