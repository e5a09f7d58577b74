#include "common/perf.h"

#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tesmo {
namespace {

// The table is process-wide; each test of this binary uses its own labels and runs in its own
// process under ctest, so the whole report can be compared.
TEST(PerfTable, ReportFormat) {
  {
    std::ostringstream empty;
    perf::ReportPerfStat(empty);
    EXPECT_EQ(empty.str(),
              "\nNAME     #CALLS      AVG. TIME (ms)      TOTAL TIME (s)\n");
  }
  perf::UpdateRecord("tvg_remap", 3);
  perf::UpdateRecord("tvg_remap", 4);
  perf::UpdateRecord("main_one_tick", 1000);
  perf::UpdateRecord("main_one_tick", 0);
  perf::UpdateRecord("main_one_tick", 1);
  perf::UpdateRecord("cleared", 12);
  perf::Clear("cleared");
  perf::Clear("never_reported");

  std::ostringstream out;
  out << std::left;
  perf::ReportPerfStat(out);
  const std::string expected =
      "\n"
      "NAME                  #CALLS      AVG. TIME (ms)      TOTAL TIME (s)\n"
      "cleared                    0                   0                   0\n"
      "main_one_tick              3             333.667               1.001\n"
      "tvg_remap                  2                 3.5               0.007\n";
  EXPECT_EQ(out.str(), expected);
  // Alignment is left at right afterwards.
  EXPECT_TRUE(out.flags() & std::ios::right);
}

TEST(PerfTable, ConcurrentUpdatesAreAllCounted) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) perf::UpdateRecord("concurrent", 2);
    });
  }
  for (auto& t : threads) t.join();
  std::ostringstream out;
  perf::ReportPerfStat(out);
  EXPECT_NE(out.str().find("concurrent           8000                   2                  16\n"),
            std::string::npos)
      << out.str();
}

}  // namespace
}  // namespace tesmo
