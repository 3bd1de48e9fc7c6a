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

// Every target, in a fixed order.
const std::vector<TFuzzTarget>& Targets();
// The entry of the named target, or nullptr.
TFuzzEntry FindTarget(const std::string& Name);

// Output beyond this many bytes per input stops the input quietly: large
// enough for every seed to decode in full, small enough to keep one
// execution in the milliseconds.
constexpr int64_t kSinkCap = 16 << 20;

} // namespace arvelofuzz
