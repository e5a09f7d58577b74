#include "common/perf.h"

#include <algorithm>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <locale>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace tesmo {
namespace {

TEST(PerfTable, EmptyTablePrintsTheHeaderOnly) {
  // Run in a fresh process of this binary, whose table is still empty.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT((perf::ReportPerfStat(std::cerr), std::exit(0)), testing::ExitedWithCode(0),
              "^\nNAME     #CALLS      AVG\\. TIME \\(ms\\)      TOTAL TIME \\(s\\)\n$");
}

// Thousands separators, for a locale a caller may have set.
struct Grouping : std::numpunct<char> {
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};

auto FormatState(const std::ostream& s) {
  return std::make_tuple(s.flags(), s.fill(), s.precision(), s.width(), s.getloc());
}

// The table is process-wide and keeps the labels of every test that ran before in this process:
// the test checks the header and the rows of its own labels (one counted from 8 threads at once),
// in the order of their names, written into a stream in a caller's format (a grouping locale
// among it). The name column is 5 wider than the longest label listed.
TEST(PerfTable, OwnFormatWhateverTheStreamAndStateRestored) {
  std::vector<std::thread> threads(8);
  for (auto& t : threads) {
    t = std::thread([] {
      for (int i = 0; i < 1000; ++i) perf::UpdateRecord("perf_format_many", 2);
    });
  }
  for (auto& t : threads) t.join();
  for (long ms : {1000L, 0L, 1L}) perf::UpdateRecord("perf_format_tick", ms);
  perf::UpdateRecord("perf_format_cleared", 12);
  perf::Clear("perf_format_cleared");
  perf::Clear("perf_format_never_reported");

  std::ostringstream text;
  text.imbue(std::locale(std::locale::classic(), new Grouping));
  text << std::setfill('*') << std::setprecision(2) << std::fixed << std::left << std::showpos
       << std::hex << std::setw(33);
  const auto before = FormatState(text);
  perf::ReportPerfStat(text);
  EXPECT_EQ(FormatState(text), before);  // the caller's format state is back as it was
  std::vector<std::string> lines, own;
  int width = 5;
  std::istringstream in(text.str());
  for (std::string line; std::getline(in, line); lines.push_back(line)) {
    if (lines.size() >= 2) width = std::max(width, static_cast<int>(line.find(' ')) + 5);
    if (line.rfind("perf_format_", 0) == 0) own.push_back(line);
  }
  const auto row = [&](const char* label, const char* calls, const char* avg, const char* total) {
    return cv::format("%-*s%10s%20s%20s", width, label, calls, avg, total);
  };
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], row("NAME", "#CALLS", "AVG. TIME (ms)", "TOTAL TIME (s)"));
  const std::vector<std::string> expected = {row("perf_format_cleared", "0", "0", "0"),
                                             row("perf_format_many", "8000", "2", "16"),
                                             row("perf_format_tick", "3", "333.667", "1.001")};
  EXPECT_EQ(own, expected);
}

}  // namespace
}  // namespace tesmo
