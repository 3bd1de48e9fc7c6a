// FuzzEntries: the entry points the fuzz targets and the regression replay
// share.
//
// Each entry takes arbitrary bytes and drives one part of the engine with
// them: the directory reader with every item's metadata and pipeline, one
// decoder on its own, or the mask matcher. An entry returns normally when
// the engine either succeeded or refused the input with one of its own
// failures (anything derived from rtl::Exception other than an assertion).
// Everything else is a finding and leaves the entry:
//
//   * rtl::EAssertionFailed: data alone must never reach a caller check;
//     the entry turns it into TFuzzFinding so that it is not mistaken for a
//     clean refusal;
//   * std::bad_alloc, std::length_error and every other non-engine
//     exception: they pass through unchanged.
//
// A fuzzer sees a finding as an uncaught exception (a crash); the replay
// test sees it as a failed expectation. Memory errors, undefined behaviour
// and leaks are the sanitizers' to report.
//
// Every decoded byte goes to a discard sink with a hard cap (TFuzzSink), so
// that neither fuzzing nor the replay can be made to allocate or run without
// bound by an input that decodes to a flood.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace arvelofuzz {

// A finding: the engine reached a state that data must never reach.
class TFuzzFinding : public std::logic_error {
public:
  using std::logic_error::logic_error;
};

using TFuzzEntry = void (*)(const uint8_t* Data, size_t Size);

struct TFuzzTarget {
  const char* Name;  // also the folder name of its seeds and regressions
  TFuzzEntry Entry;
};

// Every target linked into this program: the engine's own, in a fixed
// order, then those registered by other files (the launcher's settings
// reader lives with Qt and is linked only where Qt is).
const std::vector<TFuzzTarget>& Targets();
// The entry of the named target, or nullptr.
TFuzzEntry FindTarget(const std::string& Name);

// A file-scope object of this type adds a target defined outside this unit.
struct TFuzzRegistration {
  TFuzzRegistration(const char* Name, TFuzzEntry Entry);
};

// Targets whose entries are built only into some programs; a regression
// folder may name them even where they are not linked.
inline const std::vector<std::string>& TargetsOutsideTheEngine() {
  static const std::vector<std::string> names = {"ini"};
  return names;
}

// The shared verdict, for entries defined outside FuzzEntries.cpp: runs F;
// the engine's own failures are clean refusals, an assertion is a finding,
// anything else passes through.
void Guard(const std::function<void()>& F);
// A finding unless Condition holds.
void Require(bool Condition, const char* What);

// Output beyond this many bytes per input stops the input quietly: large
// enough for every seed to decode in full, small enough to keep one
// execution in the milliseconds.
constexpr int64_t kSinkCap = 16 << 20;

} // namespace arvelofuzz
