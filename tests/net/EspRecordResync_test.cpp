// The data connection of an ESP device delivers records in reads of any
// size. After garbage, a record whose magic is split between two reads must
// still reach the receive buffer whole.
#include <gtest/gtest.h>

#include "foundation/CircularBuffer.h"
#include "net/Zor_NetworkDevice.h"
#include "tests/device/ReportTestData.h"

using namespace zor;

namespace {

class TDataProbe : public TZor_NetworkDevice {
 public:
  using TZor_NetworkDevice::TZor_NetworkDevice;
  // One read of the data connection, joined to what the last one left over.
  void Deliver(const std::string &bytes) {
    std::string data = FremainingData + bytes;
    FremainingData.clear();
    ServerExecute_ESP(data);
  }
  void SetPeer(TZor_PeerType peer) { FPeerType = peer; }
};

std::string Received(TZor_BaseDevice &d) {
  return d.GetReceiveBuffer().ReadAnsiString(d.GetReceiveBuffer().GetAmount());
}

}  // namespace

TEST(EspRecordResync, MagicSplitAcrossTwoReadsIsKept) {
  // A values record of user 1 (user bits 0), so it goes to the receive buffer.
  const std::string record = testdata::Record(0x77, 0, 0, {0x1122334455667788ull});
  for (size_t garbageLength : {1u, 7u, 205u, 208u, 209u, 500u}) {
    for (size_t split = 1; split < record.size(); ++split) {
      SCOPED_TRACE("garbage " + std::to_string(garbageLength) + ", split " + std::to_string(split));
      TDataProbe d(-1, 0, nullptr, true, "127.0.0.1");
      d.SetPeer(ptESP);
      d.Deliver(std::string(garbageLength, '\x5A') + record.substr(0, split));
      d.Deliver(record.substr(split));
      EXPECT_EQ(Received(d), record);
    }
  }
}
