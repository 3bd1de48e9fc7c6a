// Console output; see Console.h.
#include "tools/Console.h"

#include <cstdint>
#include <cstdio>

#include "tools/Terminal.h"

namespace arvelo {

namespace {

bool gStatusEnabled = false;
std::string gStatusLine;  // what is on screen, empty when nothing is

// One UTF-8 sequence at Text[i]: its code point and length, or length 0
// when the bytes there are not valid UTF-8 (cut, overlong, surrogate).
struct TCodePoint {
  uint32_t Value;
  size_t Length;
};

TCodePoint DecodeAt(std::string_view Text, size_t i) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(Text[k]); };
  const uint8_t c = b(i);
  if (c < 0x80) return {c, 1};
  size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (c >= 0xF5) len = 0;
  if (len == 0 || i + len > Text.size()) return {0, 0};
  uint32_t v = c & (0xFF >> (len + 1));
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return {0, 0};
    v = (v << 6) | (b(i + k) & 0x3F);
  }
  static constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kMinimum[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return {0, 0};
  return {v, len};
}

int Columns(uint32_t v) {
  const bool wide = (v >= 0x1100 && v <= 0x115F) || (v >= 0x2E80 && v <= 0xA4CF) || (v >= 0xAC00 && v <= 0xD7A3) ||
                    (v >= 0xF900 && v <= 0xFAFF) || (v >= 0xFE30 && v <= 0xFE4F) || (v >= 0xFF00 && v <= 0xFF60) ||
                    (v >= 0xFFE0 && v <= 0xFFE6) || (v >= 0x20000 && v <= 0x3FFFD);
  return wide ? 2 : 1;
}

bool Write(term::TChannel Channel, std::string_view Text) {
  const bool redraw = !gStatusLine.empty();
  if (redraw) term::ClearStatus();
  const bool ok = term::WriteText(Channel, Text);
  if (redraw && Channel == term::TChannel::chErr) term::DrawStatus(gStatusLine);
  else gStatusLine.clear();
  return ok;
}

} // namespace

bool Out(std::string_view Text) { return Write(term::TChannel::chOut, Text); }
void Err(std::string_view Text) { Write(term::TChannel::chErr, Text); }

void EnableStatus(bool Enable) { gStatusEnabled = Enable && term::IsTerminal(term::TChannel::chErr); }

int StatusColumns() { return term::Width() - 3; }

void ShowStatus(const std::string& Line) {
  if (!gStatusEnabled) return;
  std::string fitted = FitColumns(Line, StatusColumns());
  if (fitted == gStatusLine) return;
  gStatusLine = fitted;
  term::DrawStatus(gStatusLine);
}

void HideStatus() {
  term::ClearStatus();
  gStatusLine.clear();
}

term::TReadResult Ask(const std::string& Prompt, bool Echo, std::string& Answer) {
  HideStatus();
  return term::AskTerminal(Prompt, Echo, Answer);
}

std::string Printable(std::string_view Name) {
  std::string out;
  char hex[8];
  for (size_t i = 0; i < Name.size();) {
    TCodePoint cp = DecodeAt(Name, i);
    if (cp.Length == 0) {
      std::snprintf(hex, sizeof hex, "<0x%02x>", static_cast<uint8_t>(Name[i]));
      out += hex;
      ++i;
      continue;
    }
    if (cp.Value < 0x20 || cp.Value == 0x7F) {
      out += '^';
      out += static_cast<char>(cp.Value ^ 0x40);
    } else if (cp.Value >= 0x80 && cp.Value < 0xA0) {
      std::snprintf(hex, sizeof hex, "<0x%02x>", cp.Value);
      out += hex;
    } else {
      out.append(Name.substr(i, cp.Length));
    }
    i += cp.Length;
  }
  return out;
}

int TextColumns(std::string_view Text) {
  int cols = 0;
  for (size_t i = 0; i < Text.size();) {
    TCodePoint cp = DecodeAt(Text, i);
    cols += cp.Length ? Columns(cp.Value) : 1;
    i += cp.Length ? cp.Length : 1;
  }
  return cols;
}

std::string FitColumns(std::string_view Text, int MaxColumns) {
  int cols = 0;
  size_t i = 0;
  while (i < Text.size()) {
    TCodePoint cp = DecodeAt(Text, i);
    int w = cp.Length ? Columns(cp.Value) : 1;
    if (cols + w > MaxColumns) break;
    cols += w;
    i += cp.Length ? cp.Length : 1;
  }
  return std::string(Text.substr(0, i));
}

} // namespace arvelo
