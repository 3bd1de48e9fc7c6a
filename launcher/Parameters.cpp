// Parameters: splitting a parameter string.
#include "launcher/Parameters.h"

namespace launcher {

std::vector<std::string> SplitParameters(const std::string& Parameters) {
  std::vector<std::string> Args;
  std::string Cur;
  bool InArg = false, Quoted = false;
  for (size_t i = 0; i < Parameters.size(); ++i) {
    const char C = Parameters[i];
    if (C == '"') {
      if (Quoted && i + 1 < Parameters.size() && Parameters[i + 1] == '"') {
        Cur.push_back('"');
        ++i;
      } else {
        Quoted = !Quoted;
      }
      InArg = true;
    } else if ((C == ' ' || C == '\t') && !Quoted) {
      if (InArg) Args.push_back(Cur);
      Cur.clear();
      InArg = false;
    } else {
      Cur.push_back(C);
      InArg = true;
    }
  }
  if (InArg) Args.push_back(Cur);
  return Args;
}

} // namespace launcher
