// Masks: wildcard matching, written once for every kind of mask the
// programs know: the engine's DOS masks, the shell copy's Windows masks and
// the command line's unzip patterns.
//
// "*" stands for any run of the name, also an empty one; every other
// element of the pattern is matched by the caller's Step, which knows the
// mask's own rules ("?", sets, escapes, letter case). A failed element goes
// back to the last "*" only, one position further along the name: the
// answers are those of trying every split, in linear space and without the
// exponential worst case of trying them recursively.
#pragma once

#include <cstddef>

namespace rtl {

// Step(NamePos, PatternPos): whether the pattern element at PatternPos
// (never a "*") matches the name at NamePos (always inside the name); on a
// match it moves both past what they consumed, otherwise it leaves them.
template <class TString, class TStep>
bool MatchWildcard(const TString& Name, const TString& Pattern, typename TString::value_type Star, TStep&& Step) {
  constexpr size_t none = static_cast<size_t>(-1);
  size_t n = 0, p = 0, starP = none, starN = 0;
  while (n < Name.size()) {
    if (p < Pattern.size() && Pattern[p] == Star) {
      starP = p++;
      starN = n;
    } else if (p < Pattern.size() && Step(n, p)) {
      // both moved on
    } else if (starP != none) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < Pattern.size() && Pattern[p] == Star) ++p;
  return p == Pattern.size();
}

// The plain form: "?" is any one element, everything else itself.
template <class TString>
bool MatchWildcard(const TString& Name, const TString& Pattern) {
  using C = typename TString::value_type;
  return MatchWildcard(Name, Pattern, C('*'), [&](size_t& n, size_t& p) {
    if (Pattern[p] != C('?') && Pattern[p] != Name[n]) return false;
    ++n, ++p;
    return true;
  });
}

} // namespace rtl
