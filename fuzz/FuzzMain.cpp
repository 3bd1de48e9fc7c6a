// One libFuzzer target: the entry named by ARVELO_FUZZ_TARGET. Every target
// is this file built with a different name, so that the fuzzers and the
// regression replay run exactly the same code.
#include <cstdio>
#include <cstdlib>

#include "fuzz/FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const arvelofuzz::TFuzzEntry entry = [] {
    arvelofuzz::TFuzzEntry e = arvelofuzz::FindTarget(ARVELO_FUZZ_TARGET);
    if (!e) {
      std::fprintf(stderr, "no fuzz target named %s\n", ARVELO_FUZZ_TARGET);
      std::abort();
    }
    return e;
  }();
  entry(Data, Size);
  return 0;
}
