// Resynchronising the binary record stream after garbage: the start of a
// record whose magic is split between two deliveries must survive the skip
// over the garbage, wherever the split falls.
#include <gtest/gtest.h>

#include "device/Zor_BaseDevice.h"
#include "device/Zor_Report.h"
#include "tests/device/ReportTestData.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

using namespace testdata;

struct TReadOut {
  std::vector<std::string> Reports;
  int FormatErrors = 0;
};

// Reads until the reader makes no more progress on what is buffered.
void ReadAll(TZor_ReportDevice &reader, TReadOut &out) {
  for (int i = 0; i < 100; ++i) {
    const uint32_t before = reader.GetDevice().GetBufferAmount();
    std::string report;
    const TZor_Result r = reader.GetReport(report);
    if (r == Zor_Err_BadFormat) {
      ++out.FormatErrors;
    } else {
      EXPECT_EQ(r, Zor_No_Err) << report;
      if (!report.empty()) out.Reports.push_back(report);
    }
    if (r == Zor_No_Err && report.empty() && reader.GetDevice().GetBufferAmount() == before) return;
  }
  ADD_FAILURE() << "the reader does not settle";
}

// Garbage and the first `split` bytes of a record arrive first, the rest later.
TReadOut DeliverInTwo(const std::string &garbage, const std::string &record, size_t split) {
  TZor_TestDevice dev(Zor_HID, ptESP);
  TZor_ReportDevice reader(dev);
  TReadOut out;
  dev.Feed(garbage + record.substr(0, split));
  ReadAll(reader, out);
  dev.Feed(record.substr(split));
  ReadAll(reader, out);
  return out;
}

const std::string cRecord = Record(0x77, 0, 0, {0x0102030405060708ull});

TEST(RecordResync, MagicSplitAcrossTwoDeliveriesIsKept) {
  const std::string expected = Report(rid_Values77, cRecord.substr(16));
  for (size_t garbageLength : {13u, 16u, 17u, 40u, 300u}) {
    const std::string garbage(garbageLength, '\x5A');
    for (size_t split = 1; split <= 4; ++split) {
      SCOPED_TRACE("garbage " + std::to_string(garbageLength) + ", split " + std::to_string(split));
      const TReadOut out = DeliverInTwo(garbage, cRecord, split);
      EXPECT_EQ(out.Reports, std::vector<std::string>{expected});
      EXPECT_GE(out.FormatErrors, 1) << "the garbage is reported";
    }
  }
}

TEST(RecordResync, GarbageLookingLikeAMagicStartDoesNotHideTheRealOne) {
  // The garbage ends in partial magics, then the record's magic is split.
  const std::string garbage = std::string(20, '\x00') + "LUM" + "LU" + "L";
  const std::string expected = Report(rid_Values77, cRecord.substr(16));
  for (size_t split = 1; split <= 3; ++split) {
    SCOPED_TRACE("split " + std::to_string(split));
    EXPECT_EQ(DeliverInTwo(garbage, cRecord, split).Reports, std::vector<std::string>{expected});
  }
}

}  // namespace
}  // namespace zor
