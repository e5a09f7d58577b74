#pragma once

#include <cstdint>
#include <ostream>

namespace tesmo {
namespace perf {

// One label's record in the process-wide timing table.
struct PerfRecord {
  int num_calls = 0;
  int64_t time_spent = 0;  // ms, sum over all calls
};

// Adds one call of `time_spent` milliseconds to the record `name`. Any thread may call it.
void UpdateRecord(const char* name, long time_spent);

// Resets the record `name` to 0 calls and 0 ms; an unknown name is ignored.
void Clear(const char* name);

// Writes the whole table, ordered by label, to `stream` (a consistent snapshot), in its own
// format whatever the stream's format state; that state is the same afterwards as before.
void ReportPerfStat(std::ostream& stream);

}  // namespace perf
}  // namespace tesmo
