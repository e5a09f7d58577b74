#include "common/perf.h"

#include <algorithm>
#include <iomanip>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace tesmo {
namespace perf {
namespace {

struct Table {
  std::mutex mutex;
  // Transparent comparator: reporting an existing label allocates nothing.
  std::map<std::string, PerfRecord, std::less<>> records;
};

Table& table() {
  // Never destroyed, so threads that outlive static destruction can still report.
  static Table* t = new Table();
  return *t;
}

}  // namespace

void UpdateRecord(const char* name, long time_spent) {
  Table& t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.records.find(std::string_view(name));
  if (it == t.records.end()) {
    it = t.records.emplace(name, PerfRecord()).first;
  }
  it->second.num_calls += 1;
  it->second.time_spent += time_spent;
}

void Clear(const char* name) {
  Table& t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.records.find(std::string_view(name));
  if (it != t.records.end()) {
    it->second = PerfRecord();
  }
}

void ReportPerfStat(std::ostream& stream) {
  Table& t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  size_t longest = 0;
  for (const auto& kv : t.records) {
    longest = std::max(longest, kv.first.size());
  }
  const int width = static_cast<int>(longest) + 5;

  stream << std::endl;
  stream << std::left << std::setw(width) << "NAME" << std::right << std::setw(10) << "#CALLS"
         << std::setw(20) << "AVG. TIME (ms)" << std::setw(20) << "TOTAL TIME (s)" << std::endl;
  for (const auto& kv : t.records) {
    const PerfRecord& rec = kv.second;
    const double avg = static_cast<double>(rec.time_spent) / std::max(1, rec.num_calls);
    stream << std::left << std::setw(width) << kv.first << std::right << std::setw(10)
           << rec.num_calls << std::setw(20) << avg << std::setw(20)
           << static_cast<double>(rec.time_spent) / 1000.0 << std::endl;
  }
}

}  // namespace perf
}  // namespace tesmo
