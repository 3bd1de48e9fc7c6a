// IAbProgressMeter: what the unzipper component drives as a progress meter.
// The launcher's block meters implement it; so does the command line's bar.
#pragma once

#include <cstdint>

namespace ab {

class IAbProgressMeter {
public:
  virtual ~IAbProgressMeter() = default;
  // Progress is a percentage, 0 to 100.
  virtual void DoProgress(uint8_t Progress) = 0;
  virtual void Reset() = 0;
};

} // namespace ab
