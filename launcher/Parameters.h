// Parameters: a command line written the Windows way, as a list.
//
// The flows hand programs their parameters as one string, the way a Windows
// shell takes them; a platform that starts programs with an argument list
// splits it here, by the same rules the Windows runtime applies.
#pragma once

#include <string>
#include <vector>

namespace launcher {

// Blanks separate, double quotes group (and are dropped), "" inside quotes
// is one literal quote. Backslashes are ordinary characters.
std::vector<std::string> SplitParameters(const std::string& Parameters);

} // namespace launcher
