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

// Times one step and adds it to the record `label` through UpdateRecord when the step ends: at
// stop(), or when the timer goes out of scope if stop() was not called. The duration is the
// difference of two steady-clock readings taken in whole milliseconds (each truncated, as
// tesmo::now<std::chrono::steady_clock>() reads them), the first one at construction. A step left
// through an exception is not recorded: a timer destroyed while an exception thrown after its
// construction unwinds records nothing. `label` is not copied and must outlive the timer (a
// string literal in practice). A timer belongs to the thread that made it; timers on other
// threads are independent.
//
//   {
//     perf::ScopedTimer timer("tvg_remap");
//     remapFrames(frames);
//   }  // "tvg_remap" += the milliseconds of remapFrames, unless it threw
class ScopedTimer {
 public:
  explicit ScopedTimer(const char* label);
  // Records the step unless stop() has or an exception is unwinding. A failure of UpdateRecord
  // itself (an allocation for a new label) reaches the caller as it would from a direct call.
  ~ScopedTimer() noexcept(false);

  ScopedTimer(const ScopedTimer&) = delete;
  ScopedTimer& operator=(const ScopedTimer&) = delete;

  // Ends the step now: records it and returns its milliseconds. Later calls record nothing and
  // return 0, and the destructor then records nothing.
  long stop();

 private:
  const char* label_;
  int64_t start_;
  // std::uncaught_exceptions() at construction.
  int uncaught_;
  bool bStopped_ = false;
};

}  // namespace perf
}  // namespace tesmo
