#include <gtest/gtest.h>

#include <memory>

#include "run/RunLog.h"

namespace stratavon {
namespace {

// A spreadsheet reads the CSV log by its header: every row has the
// header's nine fields, a root with commas or quotes stays one field, and
// a period without timed I/O has empty latency fields (null in JSON), not
// zeros that would read as a fast device.
TEST(RunLogTest, RowsKeepTheirFieldsWhateverTheRoot) {
  auto pTimed = std::make_unique<IntervalFigures>();
  pTimed->dSeconds = 2.0;
  pTimed->qwBytes = 4194304;
  pTimed->qwIos = 1000;
  auto pHistogram = std::make_unique<CLatencyHistogram>();
  for (int i = 0; i < 1000; ++i) pHistogram->Record(uint64_t{100000});  // all alike: exact
  pTimed->latency.Add(*pHistogram);
  auto pIdle = std::make_unique<IntervalFigures>();
  pIdle->dSeconds = 2.0;
  const std::vector<LogRow> rows = {{"/mnt/a,\"b\"/", "RUN", pTimed.get(), {}}, {"total", "RUN", pIdle.get(), 3}};

  EXPECT_EQ(CRunLog::Format(4.0, rows, true),
            "4.000,\"/mnt/a,\"\"b\"\"/\",2.000,500.000,100.000,100.000,100.000,,\"RUN\"\n"
            "4.000,\"total\",0.000,0.000,,,,3,\"RUN\"\n");
  EXPECT_EQ(CRunLog::Format(4.0, {rows[1]}, false),
            "{\"t_s\": 4.000, \"target\": \"total\", \"mb_per_s\": 0.000, \"iops\": 0.000, \"p50_us\": null, "
            "\"p99_us\": null, \"max_us\": null, \"io_errors\": 3, \"status\": \"RUN\"}\n");
}

}  // namespace
}  // namespace stratavon
