#include "common/perf.h"

#include <algorithm>
#include <cstdlib>
#include <iomanip>
#include <locale>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tesmo {
namespace {

// The table is process-wide and keeps the labels of every test that ran before in this process.
// Each test reports labels of its own and checks only their rows; the width of the name column
// follows from all the labels the report lists.
struct Report {
  std::vector<std::string> lines;
  size_t width = 5;  // longest listed label + 5
};

// Writes the table into `text` and reads it back.
Report ReportOf(std::ostringstream& text) {
  perf::ReportPerfStat(text);
  Report report;
  std::istringstream in(text.str());
  for (std::string line; std::getline(in, line);) report.lines.push_back(line);
  for (size_t i = 2; i < report.lines.size(); ++i) {
    report.width = std::max(report.width, report.lines[i].find(' ') + 5);
  }
  return report;
}

std::string Right(const std::string& text, size_t width) {
  return std::string(width - std::min(width, text.size()), ' ') + text;
}

// A row as the table prints it: the label left-aligned in the name column, then the numbers.
std::string Row(const Report& report, const std::string& label, const std::string& calls,
                const std::string& avg, const std::string& total) {
  return label + std::string(report.width - label.size(), ' ') + Right(calls, 10) +
         Right(avg, 20) + Right(total, 20);
}

// Index of the line that starts with label + a blank, or -1.
int LineOf(const Report& report, const std::string& label) {
  for (size_t i = 0; i < report.lines.size(); ++i) {
    if (report.lines[i].rfind(label + " ", 0) == 0) return static_cast<int>(i);
  }
  return -1;
}

TEST(PerfTable, EmptyTablePrintsTheHeaderOnly) {
  // Run in a fresh process of this binary, whose table is still empty.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::ostringstream out;
        perf::ReportPerfStat(out);
        std::exit(out.str() == "\nNAME     #CALLS      AVG. TIME (ms)      TOTAL TIME (s)\n" ? 0
                                                                                         : 1);
      },
      testing::ExitedWithCode(0), "");
}

// Thousands separators, for a locale a caller may have set.
struct Grouping : std::numpunct<char> {
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(PerfTable, OwnFormatWhateverTheStreamAndStateRestored) {
  perf::UpdateRecord("perf_format_remap", 3);
  perf::UpdateRecord("perf_format_remap", 4);
  perf::UpdateRecord("perf_format_tick", 1000);
  perf::UpdateRecord("perf_format_tick", 0);
  perf::UpdateRecord("perf_format_tick", 1);
  for (int i = 0; i < 1500; ++i) perf::UpdateRecord("perf_format_many", 2);
  perf::UpdateRecord("perf_format_cleared", 12);
  perf::Clear("perf_format_cleared");
  perf::Clear("perf_format_never_reported");

  for (const bool bHostile : {false, true}) {
    SCOPED_TRACE(bHostile ? "caller's format" : "default format");
    std::ostringstream text;
    if (bHostile) {
      text.imbue(std::locale(std::locale::classic(), new Grouping));
      text << std::setfill('*') << std::setprecision(2) << std::fixed << std::left << std::showpos
           << std::hex << std::setw(33);
    }
    std::ostringstream before;
    before.copyfmt(text);
    const Report report = ReportOf(text);
    ASSERT_GE(report.lines.size(), 6u);
    EXPECT_EQ(report.lines[0], "");
    EXPECT_EQ(report.lines[1],
              "NAME" + std::string(report.width - 4, ' ') + Right("#CALLS", 10) +
                  Right("AVG. TIME (ms)", 20) + Right("TOTAL TIME (s)", 20));
    const int cleared = LineOf(report, "perf_format_cleared");
    const int many = LineOf(report, "perf_format_many");
    const int remap = LineOf(report, "perf_format_remap");
    const int tick = LineOf(report, "perf_format_tick");
    ASSERT_TRUE(cleared > 1 && cleared < many && many < remap && remap < tick);
    EXPECT_EQ(report.lines[cleared], Row(report, "perf_format_cleared", "0", "0", "0"));
    EXPECT_EQ(report.lines[many], Row(report, "perf_format_many", "1500", "2", "3"));
    EXPECT_EQ(report.lines[remap], Row(report, "perf_format_remap", "2", "3.5", "0.007"));
    EXPECT_EQ(report.lines[tick], Row(report, "perf_format_tick", "3", "333.667", "1.001"));
    EXPECT_EQ(LineOf(report, "perf_format_never_reported"), -1);
    // The caller's format state is back as it was.
    EXPECT_EQ(text.flags(), before.flags());
    EXPECT_EQ(text.fill(), before.fill());
    EXPECT_EQ(text.precision(), before.precision());
    EXPECT_EQ(text.width(), before.width());
    EXPECT_EQ(text.getloc(), before.getloc());
  }
}

TEST(PerfTable, ConcurrentUpdatesAreAllCounted) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) perf::UpdateRecord("perf_concurrent", 2);
    });
  }
  for (auto& t : threads) t.join();
  std::ostringstream text;
  const Report report = ReportOf(text);
  const int line = LineOf(report, "perf_concurrent");
  ASSERT_GT(line, 1) << text.str();
  EXPECT_EQ(report.lines[line], Row(report, "perf_concurrent", "8000", "2", "16"));
}

}  // namespace
}  // namespace tesmo
