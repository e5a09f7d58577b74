#include "common/perf.h"

#include <algorithm>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <locale>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

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

std::string Right(const std::string& text, size_t width) {
  return std::string(width - std::min(width, text.size()), ' ') + text;
}

// The table is process-wide and keeps the labels of every test that ran before in this process:
// the test checks the header and the rows of its own labels (one counted from 8 threads at once),
// in the order of their names, written into a stream in a caller's format (a grouping locale
// among it). The name column is 5 wider than the longest label listed.
TEST(PerfTable, OwnFormatWhateverTheStreamAndStateRestored) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) perf::UpdateRecord("perf_format_many", 2);
    });
  }
  for (auto& t : threads) t.join();
  perf::UpdateRecord("perf_format_tick", 1000);
  perf::UpdateRecord("perf_format_tick", 0);
  perf::UpdateRecord("perf_format_tick", 1);
  perf::UpdateRecord("perf_format_cleared", 12);
  perf::Clear("perf_format_cleared");
  perf::Clear("perf_format_never_reported");

  std::ostringstream text;
  text.imbue(std::locale(std::locale::classic(), new Grouping));
  text << std::setfill('*') << std::setprecision(2) << std::fixed << std::left << std::showpos
       << std::hex << std::setw(33);
  std::ostringstream before;
  before.copyfmt(text);
  perf::ReportPerfStat(text);
  std::vector<std::string> lines, own;
  size_t width = 5;
  std::istringstream in(text.str());
  for (std::string line; std::getline(in, line); lines.push_back(line)) {
    if (lines.size() >= 2) width = std::max(width, line.find(' ') + 5);
    if (line.rfind("perf_format_", 0) == 0) own.push_back(line);
  }
  const auto row = [&](const std::string& label, const std::string& calls, const std::string& avg,
                       const std::string& total) {
    return label + std::string(width - label.size(), ' ') + Right(calls, 10) + Right(avg, 20) +
           Right(total, 20);
  };
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], row("NAME", "#CALLS", "AVG. TIME (ms)", "TOTAL TIME (s)"));
  const std::vector<std::string> expected = {row("perf_format_cleared", "0", "0", "0"),
                                             row("perf_format_many", "8000", "2", "16"),
                                             row("perf_format_tick", "3", "333.667", "1.001")};
  EXPECT_EQ(own, expected);
  // The caller's format state is back as it was.
  EXPECT_EQ(text.flags(), before.flags());
  EXPECT_EQ(text.fill(), before.fill());
  EXPECT_EQ(text.precision(), before.precision());
  EXPECT_EQ(text.width(), before.width());
  EXPECT_EQ(text.getloc(), before.getloc());
}

}  // namespace
}  // namespace tesmo
