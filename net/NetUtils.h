// Host-name resolution, and the choice among several addresses of one name
// (the model behind the "Select IP" dialog, free of any window toolkit).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Zor_Sys.h"

namespace zor {

// All IPv4 addresses of `host` as dotted texts, in the resolver's order.
// Nothing on failure, with `errorText` naming the reason ("Host not found" ...).
std::optional<std::vector<std::string>> GetIPsFromHost(const std::string &host, std::string &errorText);
// The address of `host` when it has exactly one, else an empty text.
std::string GetIPFromHost(const std::string &host);
// The text for a resolver's socket error number.
std::string HostErrorText(uint32_t number);

// Replaces the system's resolver (tests); an empty function restores it.
using THostResolver = std::function<bool(const std::string &host, std::vector<std::string> &ips,
                                         platform::TZor_SysError &error)>;
void SetHostResolver(THostResolver resolver);

// State of the "Select IP" dialog: the host's addresses as choices, and OK
// enabled only once one of them is chosen.
class TSelectIPFromHost {
 public:
  static constexpr const char *Caption = "Select IP";

  void SetHost(const std::string &host);
  // Replaces the choices; nothing is chosen afterwards.
  void SetIPs(const std::vector<std::string> &ips);
  // A click on a choice; an index outside the list chooses nothing.
  void rgIPsClick(int index);
  // The chosen address; empty while none is chosen.
  std::string GetIP() const;

  const std::string &GetLabelText() const { return FLabelText; }
  const std::vector<std::string> &GetIPs() const { return FIPs; }
  int GetItemIndex() const { return FItemIndex; }
  bool GetOkEnabled() const { return FOkEnabled; }

 private:
  std::string FLabelText;
  std::vector<std::string> FIPs;
  int FItemIndex = -1;
  bool FOkEnabled = false;
};

}  // namespace zor
