#include "common/perf.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <iomanip>
#include <ios>
#include <locale>
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

// Keeps a stream's format state (flags, fill, precision, width, locale) and restores it when it
// goes, so that the table neither takes on the caller's format nor leaves its own behind.
class FormatGuard {
 public:
  explicit FormatGuard(std::ostream& stream)
      : stream_(stream),
        flags_(stream.flags()),
        fill_(stream.fill()),
        precision_(stream.precision()),
        width_(stream.width()),
        locale_(stream.getloc()) {}
  ~FormatGuard() {
    stream_.imbue(locale_);
    stream_.flags(flags_);
    stream_.fill(fill_);
    stream_.precision(precision_);
    stream_.width(width_);
  }

  FormatGuard(const FormatGuard&) = delete;
  FormatGuard& operator=(const FormatGuard&) = delete;

 private:
  std::ostream& stream_;
  std::ios_base::fmtflags flags_;
  char fill_;
  std::streamsize precision_;
  std::streamsize width_;
  std::locale locale_;
};

// Steady-clock milliseconds since its epoch, truncated: the reading that
// now<std::chrono::steady_clock>() of streamer/util.h gives.
int64_t steadyNowMs() {
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
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
  // The table's own format: blank fill, six significant digits in general notation, no grouping.
  const FormatGuard guard(stream);
  stream.imbue(std::locale::classic());
  stream.flags(std::ios_base::dec);
  stream.fill(' ');
  stream.precision(6);
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

ScopedTimer::ScopedTimer(const char* label)
    : label_(label), start_(steadyNowMs()), uncaught_(std::uncaught_exceptions()) {}

ScopedTimer::~ScopedTimer() noexcept(false) {
  if (!bStopped_ && std::uncaught_exceptions() <= uncaught_) {
    stop();
  }
}

long ScopedTimer::stop() {
  if (bStopped_) {
    return 0;
  }
  bStopped_ = true;
  const long elapsed = static_cast<long>(steadyNowMs() - start_);
  UpdateRecord(label_, elapsed);
  return elapsed;
}

}  // namespace perf
}  // namespace tesmo
