// The block transfer as the device sees it on the wire: how the pieces are
// paced, and that only the device's "ok" after the data counts as taken.
#include <gtest/gtest.h>

#include <algorithm>

#include "NetSimFixture.h"
#include "net/Zor_NetworkDevice.h"

using namespace zor;
using namespace zor::nettest;

namespace {

constexpr uint32_t cPiece = 1440;
constexpr uint32_t cPacingMs = 20;

// Opens a device object on `host` and sends `pieces` pieces in one block;
// the result of BlockTransferStop.
bool SendBlock(TSimHost &host, int pieces, std::string *error = nullptr) {
  auto d = host.MakeDevice(1, false, 400);
  std::string openError;
  if (!d->OpenPort(openError)) {
    ADD_FAILURE() << openError;
    return false;
  }
  bool ok = d->BlockTransferStart(cPiece * pieces, 0, false);
  EXPECT_TRUE(ok) << d->GetErrorMessage();
  for (int i = 0; ok && i < pieces; ++i) ok = d->BlockTransferContinue(std::string(cPiece, char('a' + i)));
  EXPECT_TRUE(ok) << d->GetErrorMessage();
  ok = ok && d->BlockTransferStop();
  if (error) *error = d->GetErrorMessage();
  d->ClosePort();
  return ok;
}

}  // namespace

// Pieces follow each other at least 20 ms apart (the device's receive buffer
// needs the time). The device's reads show it: a read that was late only
// shortens the gap after it, so the median gap and the whole span are
// checked; pieces that one late read took together are whole pieces.
TEST(BlockWire, PiecesArePacedAndArriveWhole) {
  TSimHost host(TSimFamily::Esp, "127.0.0.91");
  constexpr int pieces = 10;
  ASSERT_TRUE(SendBlock(host, pieces));
  const std::vector<TSimBlockPiece> got = host.Link->BlockPieces();
  ASSERT_FALSE(got.empty());
  uint32_t bytes = 0;
  uint64_t spanUs = 0;
  std::vector<uint32_t> gaps;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].Size % cPiece, 0u) << "read " << i << ": " << got[i].Size << " bytes";
    bytes += got[i].Size;
    if (i == 0) continue;
    spanUs += got[i].GapUs;
    gaps.push_back(got[i].GapUs);
  }
  EXPECT_EQ(bytes, pieces * cPiece);
  ASSERT_GE(gaps.size(), size_t(pieces / 2));
  std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
  EXPECT_GE(gaps[gaps.size() / 2], cPacingMs * 1000 * 3 / 4);
  EXPECT_GE(spanUs, (pieces - 1) * cPacingMs * 1000 / 2);
}

// Whatever else the device answers after the data, or no answer at all, the
// transfer failed; the image is then not in the device.
TEST(BlockWire, OnlyOkAfterTheDataIsSuccess) {
  TSimHost host(TSimFamily::Esp, "127.0.0.92");
  for (const std::string answer : {"er", "bu", "fe", "ab", "no", "OK", "okay", ""}) {
    host.SetFaults([&](TSimLinkFaults &f) {
      f.FinalAnswer.Count = 1;
      f.FinalText = answer;
    });
    std::string error;
    EXPECT_FALSE(SendBlock(host, 2, &error)) << "final answer \"" << answer << "\"";
    EXPECT_FALSE(error.empty()) << "final answer \"" << answer << "\"";
  }
  EXPECT_TRUE(SendBlock(host, 2));
}
